#include "ortavis_upgd.h"

int main()
{
    return UpgdMain();
}

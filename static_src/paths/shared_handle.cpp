#include "paths.h"

HANDLE exchangeHandle(HANDLE volatile& slot, HANDLE value)
{
    return InterlockedExchangePointer(const_cast<HANDLE*>(&slot), value);
}

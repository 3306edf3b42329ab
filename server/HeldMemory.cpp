#include "server/HeldMemory.h"

namespace {
qsizetype heldTotal = 0;
}  // namespace

void HeldMemory::Set(qsizetype bytes)
{
    heldTotal += bytes - bytes_;
    bytes_ = bytes;
}

qsizetype HeldMemory::Total()
{
    return heldTotal;
}

#include "server/MemoryBudget.h"

bool MemoryBudget::Account::TryCharge(qsizetype bytes)
{
    const MemoryLimits limits = budget_.limits_;
    if (bytes_ + bytes > limits.perViewer || budget_.total_ + bytes > limits.total) {
        return false;
    }
    Charge(bytes);
    return true;
}

void MemoryBudget::Account::Set(qsizetype bytes)
{
    budget_.total_ += bytes - bytes_;
    bytes_ = bytes;
}

bool MemoryBudget::Account::Recount(qsizetype bytes)
{
    const bool grew = bytes > bytes_;
    Set(bytes);
    const MemoryLimits limits = budget_.limits_;
    return !grew || (bytes_ <= limits.perViewer && budget_.total_ <= limits.total);
}

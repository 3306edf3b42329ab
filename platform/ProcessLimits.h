#pragma once

#include <QString>

// Process-wide settings a server needs before it opens anything.
namespace ProcessLimits {

// Raises the soft limit on open descriptors to the hard one: the default soft limit
// (1024 on Debian) would cap the viewers near a thousand. False, with the reason in
// error, when the limit could not be raised.
bool RaiseDescriptorLimit(QString* error);

// A reader that goes away (a closed pipe on standard output, a viewer that hung up)
// must fail the write that meets it, not end the process.
void IgnoreBrokenPipes();

}  // namespace ProcessLimits

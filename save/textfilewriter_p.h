// SPDX-License-Identifier: MIT
#pragma once

#include "failure.h"

#include <QByteArray>
#include <QString>

// What the writers of both platforms share: the text as the bytes of the file, and the
// failures in the numbers and words the operator is shown.
namespace TextFile {

Failure pathNotFound();
// The failure for a C library error number.
Failure failureFor(int error);
[[noreturn]] void fail(int error);

QByteArray encoded(const QString &text);

// A pipe or device that took nothing for StallSeconds.
Failure stalled();
// Added to the failure of a rewriting in place: whether the old text is back in the file.
QString keptOld();
QString lostOld();

// A NUL would cut the name short where the system reads it.
bool acceptable(const QString &name);
bool folderExists(const QString &name);

} // namespace TextFile

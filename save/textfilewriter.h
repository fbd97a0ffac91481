// SPDX-License-Identifier: MIT
#pragma once

#include "failure.h"

#include <QString>

// The file layer of the save dialog: the attribute query and the writing of the text. Each
// throws a Failure carrying one of the numbers below and a description of the cause.
class TextFileWriter
{
public:
    // The numbers the save dialog reports, one per cause the operator can act on.
    enum Error {
        DeviceTimeout = 24,
        BadFileName = 52,
        FileNotFound = 53,
        DeviceIOError = 57,
        DiskFull = 61,
        TooManyFiles = 67,
        DeviceUnavailable = 68,
        PermissionDenied = 70,
        PathFileAccessError = 75,
        PathNotFound = 76,
    };

    // Whether a file or folder of that name exists. Throws only when a folder of the path
    // does not exist (PathNotFound); any other failed query counts as nothing there.
    static bool exists(const QString &name);

    // Writes the text followed by CR LF in the system's code page ("?" for a character it
    // lacks), and returns only once the data is on the disk. An existing file
    // keeps its old text until the new one is complete and synced, then the new one takes its
    // place in one step; a name that is not a regular file (a device, a pipe) is written
    // directly. A pipe or device that takes nothing for StallSeconds is given up.
    static void write(const QString &name, const QString &text);

    static constexpr int StallSeconds = 5;

    // Called once at start-up: a write to a pipe whose reader has gone then fails like any
    // other write, instead of ending the process with the text it holds.
    static void ignoreBrokenPipes();
};

// SPDX-License-Identifier: MIT
#pragma once

#include <qt_windows.h>

// The system calls through which the writer makes, reads and swaps files. A test puts its own
// in their place to play failures that Windows gives and Wine does not (a temporary name whose
// deletion is still pending, a replacement stopped half-way, a short read).
struct Win32Files
{
    HANDLE (*createFile)(
        const wchar_t *path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    BOOL (*readFile)(HANDLE file, void *buffer, DWORD size, DWORD *done);
    // ReplaceFileW with the flags the writer needs.
    BOOL (*replaceFile)(const wchar_t *replaced, const wchar_t *replacement, const wchar_t *backup);
    BOOL (*moveFile)(const wchar_t *from, const wchar_t *to, DWORD flags);
};

namespace TextFile {

const Win32Files &systemCalls();
// Null puts the system's own back.
void setCalls(const Win32Files *calls);

} // namespace TextFile

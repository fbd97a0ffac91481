// SPDX-License-Identifier: MIT
#pragma once

// The port behind the serial control, one class a platform with the same members: Qt
// SerialPort with the Linux driver's line marks, or the Win32 communications API.
#ifdef Q_OS_WIN
#include "winserialport.h"
#else
#include "linuxserialport.h"
#endif

// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// A step that could not be done: the number the operator is shown and a description of the
// cause. The layers below the windows throw it; the handler that ran the step reports it.
struct Failure
{
    int number = 0;
    QString description;
};

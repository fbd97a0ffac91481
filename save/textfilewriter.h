#pragma once

#include <QString>

#include <optional>

// The file layer of the save dialog: the attribute query and the writing of the text,
// each failing with an error number and a description of the cause.
class TextFileWriter
{
public:
    struct Failure
    {
        int number = 0;
        QString description;
    };

    // Succeeds when a file or folder of that name exists. 76 means a folder of the path
    // does not exist; 53 that only the file is missing.
    static std::optional<Failure> attributes(const QString &name);

    // Creates or truncates the file and writes the text followed by CR LF, each character
    // as the byte of the same code ("?" where there is none). Succeeds only once the data
    // is on the disk.
    static std::optional<Failure> write(const QString &name, const QString &text);
};

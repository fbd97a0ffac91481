// SPDX-License-Identifier: MIT
// Stands in for the system information tool in the tests: leaves a file named "ran" beside
// itself, so a test can see that the dialog really started it.
#include <cstdio>
#include <string>

int main(int, char *argv[])
{
    std::string path = argv[0];
    const auto slash = path.find_last_of("\\/");
    path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "ran";
    std::FILE *marker = std::fopen(path.c_str(), "w");
    if (!marker)
        return 1;
    std::fputs("ran\n", marker);
    return std::fclose(marker) == 0 ? 0 : 1;
}

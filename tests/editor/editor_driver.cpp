// Runs the line editor on standard input for the editor tests. Before each line it prints the
// prompt; after it, "{{<line in hex>}}" or "{{null}}". It stops after end of input.
// Usage: editor_driver PROMPT SIZE[,SIZE...]  (line i gets a buffer of the i-th size; the last
// size repeats). Each buffer has exactly its size, so the sanitizers see any overrun.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fgetshistory.h"

int main(int argc, char* argv[])
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: editor_driver PROMPT SIZE[,SIZE...]\n");
        return 2;
    }
    std::vector<uint32_t> sizes;
    std::istringstream list(argv[2]);
    for (std::string size; std::getline(list, size, ',');)
        sizes.push_back((uint32_t)strtoul(size.c_str(), nullptr, 10));

    ConfigureFgetsHistory(NON_CANONICAL, argv[1]);
    for (size_t line = 0;; line++)
    {
        uint32_t size = sizes[line < sizes.size() ? line : sizes.size() - 1];
        std::unique_ptr<char[]> buffer(new char[size]);
        fputs(argv[1], stdout);
        fflush(stdout);
        if (FgetsHistory(buffer.get(), size, stdin) == nullptr)
        {
            fputs("{{null}}", stdout);
            break;
        }
        fputs("{{", stdout);
        for (size_t i = 0; buffer[i] != '\0'; i++)
            printf("%02x", (unsigned char)buffer[i]);
        fputs("}}", stdout);
        fflush(stdout);
    }
    fflush(stdout);
    ConfigureFgetsHistory(CANONICAL, argv[1]);
    return 0;
}

#include "bufterm_expect.h"

#include <cstdio>
#include <cstring>

namespace bufterm_e2e
{

std::string Bufterm()
{
    return e2e::Bin("bufterm");
}

std::vector<std::string> Argv(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {Bufterm()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string WriteBufferCdb(size_t n)
{
    char cdb[32];
    snprintf(cdb, sizeof(cdb), "3b0101000000%06zx00", n + 3);
    return cdb;
}

std::string CommandMessageHex(const std::string& text)
{
    return vocab::Hex(vocab::ConsoleMessage(text));
}

std::vector<std::string> SentCommands(const e2e::Enclosure& enclosure)
{
    std::vector<std::string> texts;
    for (const e2e::LogEntry& entry : WithOpcode(enclosure.Log(), 0x3B))
    {
        // The log holds the first bytes of the message only; the tests keep their commands short.
        std::string text(entry.dout.begin() + (entry.dout.size() >= 2 ? 2 : 0), entry.dout.end());
        if (!text.empty() && text.back() == '\0')
            text.pop_back();
        texts.push_back(text);
    }
    return texts;
}

bool SameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)) == 0;
}

} // namespace bufterm_e2e

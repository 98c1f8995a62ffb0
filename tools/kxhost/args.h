// Argument parsing shared by the commands: numbers, hex bytes, the option
// walker and the usage error.
#pragma once

#include <string>
#include <vector>

namespace kxhost {

// Decimal, or hexadecimal with 0x; the whole text must be the number.
bool ParseNumber(const char* text, bool allowHex, long long lo, long long hi, long long* out);

// Blank-separated tokens of hex digits, each with or without 0x: one or two
// digits make one byte, an even run of digits one byte per pair ("1 3 0 0 0
// 2", "0x01 0x03", "0103"). False for anything else, the first token that
// is not such a byte in *bad (empty when there is no token at all).
bool ParseHexBytes(const char* text, std::vector<unsigned char>* out, std::string* bad);

// Walks the options of one command: "--name value" or "--name=value".
class Args {
public:
    Args(int argc, char** argv, int first) : argc_(argc), argv_(argv), i_(first) {}

    bool Done() const { return i_ >= argc_; }
    const char* Peek() const { return argv_[i_]; }
    const char* Next() { return argv_[i_++]; }

    // True when the current argument is option `name`; its value (if it
    // takes one) goes to *value. A missing value is reported.
    bool Option(const char* name, const char** value, bool* missing);

private:
    int argc_;
    char** argv_;
    int i_;
};

bool IsHelp(const char* arg);

// What names a channel on the command line of open and term: DEF ('-' for
// no string), --type CODE and --lib PATH.
struct ChannelArgs {
    std::string lib;
    bool haveDef = false;  // DEF was given
    bool hasDef = false;   // ... and is a string, not '-'
    std::string def;
    int type = 0;
    bool haveType = false;  // --type was given
    const char* Def() const { return hasDef ? def.c_str() : nullptr; }
};

// Takes the current argument into *c when it is one of those (*taken set).
// Returns kExitOk or the usage error.
int TakeChannelArg(Args& args, const char* command, ChannelArgs* c, bool* taken);

// The options of a command that takes only --lib PATH (and --help, which
// sets *help). Returns kExitOk or the usage error.
int ParseLibOnly(int argc, char** argv, const char* command, std::string* lib, bool* help);

// Prints the usage error, pointing at `kxhost COMMAND --help` (or at
// `kxhost --help` for an empty command), and returns kExitUsage.
int Usage(const char* command, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kxhost

#include "args.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common.h"

namespace kxhost {

bool ParseNumber(const char* text, bool allowHex, long long lo, long long hi, long long* out) {
    if (text == nullptr || *text == '\0') return false;
    const char* p = text;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    int base = 10;
    if (allowHex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0') return false;
    unsigned long long value = 0;
    for (; *p != '\0'; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9') digit = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
        else return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xffffffffULL) return false;
    }
    long long v = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseHexBytes(const char* text, std::vector<unsigned char>* out, std::string* bad) {
    out->clear();
    bad->clear();
    const std::string all = text;
    size_t start = all.find_first_not_of(" \t");
    while (start != std::string::npos) {
        size_t end = all.find_first_of(" \t", start);
        if (end == std::string::npos) end = all.size();
        const std::string token = all.substr(start, end - start);
        std::string digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.erase(0, 2);
        bool hex = !digits.empty() && (digits.size() <= 2 || digits.size() % 2 == 0);
        for (char c : digits) hex = hex && HexDigit(c) >= 0;
        if (!hex) {
            *bad = token;
            return false;
        }
        if (digits.size() == 1) digits.insert(0, 1, '0');
        for (size_t i = 0; i < digits.size(); i += 2)
            out->push_back(static_cast<unsigned char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
        start = all.find_first_not_of(" \t", end);
    }
    return !out->empty();
}

bool Args::Option(const char* name, const char** value, bool* missing) {
    const char* arg = argv_[i_];
    const size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0) return false;
    if (arg[n] == '=') {
        *value = arg + n + 1;
        ++i_;
        return true;
    }
    if (arg[n] != '\0') return false;
    ++i_;
    if (i_ >= argc_) {
        *missing = true;
        return true;
    }
    *value = argv_[i_++];
    return true;
}

bool IsHelp(const char* arg) {
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "help") == 0;
}

int TakeChannelArg(Args& args, const char* command, ChannelArgs* c, bool* taken) {
    const char* v = nullptr;
    bool missing = false;
    long long n;
    const char* arg = args.Peek();
    *taken = true;
    if (args.Option("--lib", &v, &missing)) {
        if (missing) return Usage(command, "%s needs a value", "--lib");
        c->lib = v;
    } else if (args.Option("--type", &v, &missing)) {
        if (missing) return Usage(command, "%s needs a value", "--type");
        if (!ParseNumber(v, true, 0, 0x7fffffff, &n))
            return Usage(command, "--type '%s' is not a type code (decimal or 0x hex)", v);
        c->type = static_cast<int>(n);
        c->haveType = true;
    } else if (arg[0] != '-' || arg[1] == '\0') {
        if (c->haveDef) return Usage(command, "unexpected argument '%s' (only one DEF)", arg);
        args.Next();
        c->haveDef = true;
        c->hasDef = strcmp(arg, "-") != 0;
        if (c->hasDef) c->def = arg;
    } else {
        *taken = false;
    }
    return kExitOk;
}

int ParseLibOnly(int argc, char** argv, const char* command, std::string* lib, bool* help) {
    Args args(argc, argv, 2);
    while (!args.Done()) {
        const char* value = nullptr;
        bool missing = false;
        if (IsHelp(args.Peek())) {
            *help = true;
            return kExitOk;
        }
        if (args.Option("--lib", &value, &missing)) {
            if (missing) return Usage(command, "%s needs a value", "--lib");
            *lib = value;
            continue;
        }
        return Usage(command, "unexpected argument '%s'", args.Peek());
    }
    return kExitOk;
}

int Usage(const char* command, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (command[0] != '\0') Error("%s (see kxhost %s --help)", buf, command);
    else Error("%s (see kxhost --help)", buf);
    return kExitUsage;
}

}  // namespace kxhost

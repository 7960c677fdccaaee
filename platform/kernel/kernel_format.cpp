#include "kernel_format.h"

#include <sim/verifier.h>
#include <win/kernel.h>

#include <algorithm>
#include <cstdio>

namespace sim::kfmt {
namespace {

// Widths and precisions beyond this are clamped, so a stray "%999999999d" cannot stall the machine.
constexpr int kMaxFieldWidth = 1 << 20;

template <typename CharT>
class Output {
public:
    Output(CharT* buffer, size_t capacity) : buffer_(buffer), capacity_(buffer == nullptr ? 0 : capacity) {}

    void Unit(CharT c) {
        if (count_ + 1 < capacity_) buffer_[count_] = c;
        ++count_;
    }
    void Repeat(CharT c, size_t n) {
        for (size_t i = 0; i < n; ++i) Unit(c);
    }
    void Narrow(char c);
    void Wide(char16_t c);
    void Ascii(const std::string& text) {
        for (char c : text) Unit(static_cast<CharT>(static_cast<unsigned char>(c)));
    }
    size_t Finish() {
        if (capacity_ > 0) buffer_[std::min(count_, capacity_ - 1)] = 0;
        return count_;
    }

private:
    CharT* buffer_;
    size_t capacity_;
    size_t count_ = 0;
};

template <>
void Output<char>::Narrow(char c) { Unit(c); }
template <>
void Output<char>::Wide(char16_t c) { Unit(c < 0x80 ? static_cast<char>(c) : '?'); }
template <>
void Output<char16_t>::Narrow(char c) { Unit(static_cast<char16_t>(static_cast<unsigned char>(c))); }
template <>
void Output<char16_t>::Wide(char16_t c) { Unit(c); }

enum class Size { None, Char, Short, Long32, Wide, Long64, Pointer, LongDouble };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::None;
    char conversion = 0;
};

template <typename CharT>
int ParseNumber(const CharT*& p) {
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = std::min<long long>(value * 10 + (*p - '0'), kMaxFieldWidth);
        ++p;
    }
    return static_cast<int>(value);
}

// Builds a narrow printf directive for the host's formatter from the parsed one.
std::string HostDirective(const Directive& d, const char* lengthModifier, char conversion) {
    std::string directive = "%";
    if (d.left) directive += '-';
    if (d.plus) directive += '+';
    if (d.space) directive += ' ';
    if (d.alternate) directive += '#';
    if (d.zero) directive += '0';
    if (d.width > 0) directive += std::to_string(d.width);
    if (d.precision >= 0) directive += '.' + std::to_string(d.precision);
    directive += lengthModifier;
    directive += conversion;
    return directive;
}

template <typename T>
std::string HostFormat(const std::string& directive, T value) {
    int length = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), directive.c_str(), value);
    text.resize(static_cast<size_t>(length));
    return text;
}

bool TakesWideText(Size size, char conversion, bool wideFormat) {
    if (size == Size::Short || size == Size::Char) return false;
    if (size == Size::Long32 || size == Size::Wide) return true;
    bool upper = conversion == 'S' || conversion == 'C';
    return wideFormat ? !upper : upper;
}

template <typename CharT>
class Formatter {
public:
    Formatter(Output<CharT>& out, va_list& args) : out_(out), args_(args) {}

    void Run(const CharT* format) {
        const CharT* p = format;
        while (*p != 0) {
            if (*p != '%') {
                out_.Unit(*p++);
                continue;
            }
            const CharT* start = p++;
            if (*p == '%') {
                out_.Unit('%');
                ++p;
                continue;
            }
            Directive d;
            p = Parse(p, d);
            if (!Emit(d)) {
                // Unknown directive: print it as written.
                for (const CharT* q = start; q < p; ++q) out_.Unit(*q);
            }
        }
    }

private:
    const CharT* Parse(const CharT* p, Directive& d) {
        for (;; ++p) {
            if (*p == '-') d.left = true;
            else if (*p == '+') d.plus = true;
            else if (*p == ' ') d.space = true;
            else if (*p == '#') d.alternate = true;
            else if (*p == '0') d.zero = true;
            else break;
        }
        if (*p == '*') {
            int width = va_arg(args_, int);
            if (width < 0) {
                d.left = true;
                width = width == INT32_MIN ? kMaxFieldWidth : -width;
            }
            d.width = std::min(width, kMaxFieldWidth);
            ++p;
        } else {
            d.width = ParseNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int precision = va_arg(args_, int);
                d.precision = precision < 0 ? -1 : std::min(precision, kMaxFieldWidth);
                ++p;
            } else {
                d.precision = ParseNumber(p);
            }
        }
        switch (*p) {
            case 'h':
                ++p;
                if (*p == 'h') {
                    d.size = Size::Char;
                    ++p;
                } else {
                    d.size = Size::Short;
                }
                break;
            case 'l':
                ++p;
                if (*p == 'l') {
                    d.size = Size::Long64;
                    ++p;
                } else {
                    d.size = Size::Long32;
                }
                break;
            case 'w':
                d.size = Size::Wide;
                ++p;
                break;
            case 'L':
                d.size = Size::LongDouble;
                ++p;
                break;
            case 'j':
            case 'z':
            case 't':
                d.size = Size::Pointer;
                ++p;
                break;
            case 'I':
                ++p;
                if (p[0] == '6' && p[1] == '4') {
                    d.size = Size::Long64;
                    p += 2;
                } else if (p[0] == '3' && p[1] == '2') {
                    d.size = Size::Long32;
                    p += 2;
                } else {
                    d.size = Size::Pointer;
                }
                break;
            default:
                break;
        }
        CharT c = *p;
        if (c != 0) ++p;
        d.conversion = (c > 0 && c < 0x80) ? static_cast<char>(c) : '\x7F';
        return p;
    }

    bool Emit(const Directive& d) {
        switch (d.conversion) {
            case 'd':
            case 'i':
                EmitSigned(d);
                return true;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                EmitUnsigned(d);
                return true;
            case 'c':
            case 'C':
                EmitChar(d);
                return true;
            case 's':
            case 'S':
                EmitString(d);
                return true;
            case 'Z':
                EmitCountedString(d);
                return true;
            case 'p':
                EmitPointer(d);
                return true;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                out_.Ascii(HostFormat(HostDirective(d, "", d.conversion), va_arg(args_, double)));
                return true;
            case 'n':
                (void)va_arg(args_, void*);
                return true;
            default:
                return false;
        }
    }

    void EmitSigned(const Directive& d) {
        long long value;
        switch (d.size) {
            case Size::Char: value = static_cast<signed char>(va_arg(args_, int)); break;
            case Size::Short: value = static_cast<short>(va_arg(args_, int)); break;
            case Size::Long64:
            case Size::Pointer:
            case Size::LongDouble: value = va_arg(args_, long long); break;
            default: value = static_cast<int32_t>(va_arg(args_, int)); break;
        }
        out_.Ascii(HostFormat(HostDirective(d, "ll", d.conversion), value));
    }

    void EmitUnsigned(const Directive& d) {
        unsigned long long value;
        switch (d.size) {
            case Size::Char: value = static_cast<unsigned char>(va_arg(args_, unsigned)); break;
            case Size::Short: value = static_cast<unsigned short>(va_arg(args_, unsigned)); break;
            case Size::Long64:
            case Size::Pointer:
            case Size::LongDouble: value = va_arg(args_, unsigned long long); break;
            default: value = static_cast<uint32_t>(va_arg(args_, unsigned)); break;
        }
        out_.Ascii(HostFormat(HostDirective(d, "ll", d.conversion), value));
    }

    void EmitPointer(const Directive& d) {
        auto value = reinterpret_cast<uintptr_t>(va_arg(args_, void*));
        std::string digits = HostFormat("%016llX", static_cast<unsigned long long>(value));
        PadBefore(d, digits.size(), false);
        out_.Ascii(digits);
        PadAfter(d, digits.size());
    }

    void EmitChar(const Directive& d) {
        int value = va_arg(args_, int);
        bool wide = TakesWideText(d.size, d.conversion, sizeof(CharT) == 2);
        if (wide) CheckConversionIrql(d);
        PadBefore(d, 1, true);
        if (wide) {
            out_.Wide(static_cast<char16_t>(value));
        } else {
            out_.Narrow(static_cast<char>(value));
        }
        PadAfter(d, 1);
    }

    void EmitString(const Directive& d) {
        const void* pointer = va_arg(args_, const void*);
        if (TakesWideText(d.size, d.conversion, sizeof(CharT) == 2)) {
            CheckConversionIrql(d);
            const auto* text = static_cast<const char16_t*>(pointer);
            if (text == nullptr) return EmitNull(d);
            EmitUnits(d, text, Bounded(text, d.precision));
        } else {
            const auto* text = static_cast<const char*>(pointer);
            if (text == nullptr) return EmitNull(d);
            EmitUnits(d, text, Bounded(text, d.precision));
        }
    }

    void EmitCountedString(const Directive& d) {
        const void* pointer = va_arg(args_, const void*);
        bool wide = d.size == Size::Wide || d.size == Size::Long32;
        if (wide) {
            CheckConversionIrql(d);
            const auto* text = static_cast<const UNICODE_STRING*>(pointer);
            if (text == nullptr || text->Buffer == nullptr) return EmitNull(d);
            size_t units = text->Length / sizeof(WCHAR);
            if (d.precision >= 0) units = std::min(units, static_cast<size_t>(d.precision));
            EmitUnits(d, text->Buffer, units);
        } else {
            const auto* text = static_cast<const ANSI_STRING*>(pointer);
            if (text == nullptr || text->Buffer == nullptr) return EmitNull(d);
            size_t units = text->Length;
            if (d.precision >= 0) units = std::min(units, static_cast<size_t>(d.precision));
            EmitUnits(d, text->Buffer, units);
        }
    }

    void EmitNull(const Directive& d) {
        static const char kNull[] = "(null)";
        size_t units = sizeof(kNull) - 1;
        if (d.precision >= 0) units = std::min(units, static_cast<size_t>(d.precision));
        EmitUnits(d, kNull, units);
    }

    template <typename T>
    static size_t Bounded(const T* text, int precision) {
        size_t n = 0;
        while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n] != 0) ++n;
        return n;
    }

    void EmitUnits(const Directive& d, const char* text, size_t units) {
        PadBefore(d, units, true);
        for (size_t i = 0; i < units; ++i) out_.Narrow(text[i]);
        PadAfter(d, units);
    }
    void EmitUnits(const Directive& d, const char16_t* text, size_t units) {
        PadBefore(d, units, true);
        for (size_t i = 0; i < units; ++i) out_.Wide(text[i]);
        PadAfter(d, units);
    }

    void PadBefore(const Directive& d, size_t used, bool zeroAllowed) {
        if (d.left || static_cast<size_t>(d.width) <= used) return;
        out_.Repeat(zeroAllowed && d.zero ? '0' : ' ', d.width - used);
    }
    void PadAfter(const Directive& d, size_t used) {
        if (d.left && static_cast<size_t>(d.width) > used) out_.Repeat(' ', d.width - used);
    }

    // Wide text in narrow output goes through the code page, which is pageable.
    static void CheckConversionIrql(const Directive& d) {
        if (sizeof(CharT) != 1) return;
        KIRQL irql = KeGetCurrentIrql();
        if (irql > PASSIVE_LEVEL) {
            sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "wide text directive '%%%c' printed to narrow output at IRQL %u",
                          d.conversion, irql);
        }
    }

    Output<CharT>& out_;
    va_list& args_;
};

template <typename CharT>
size_t Format(CharT* out, size_t capacity, const CharT* format, va_list args) {
    Output<CharT> output(out, capacity);
    if (format != nullptr) {
        va_list copy;
        va_copy(copy, args);
        Formatter<CharT>(output, copy).Run(format);
        va_end(copy);
    }
    return output.Finish();
}

}  // namespace

size_t FormatNarrow(char* out, size_t capacity, const char* format, va_list args) {
    return Format(out, capacity, format, args);
}

size_t FormatWide(char16_t* out, size_t capacity, const char16_t* format, va_list args) {
    return Format(out, capacity, format, args);
}

std::string FormatNarrowToString(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    size_t needed = FormatNarrow(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < sizeof(small)) return std::string(small, needed);
    std::string text(needed + 1, '\0');
    FormatNarrow(text.data(), text.size(), format, args);
    text.resize(needed);
    return text;
}

}  // namespace sim::kfmt

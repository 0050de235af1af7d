#include "sim/rtl/format.h"

#include "sim/core/kernel.h"
#include "sim/rtl/string_contract.h"
#include "sim/rtl/utf.h"

#include <limits>
#include <string_view>
#include <type_traits>

namespace vexsim {

namespace {

// Owns the caller's argument list as a copy, so va_arg can advance it from any helper.
struct Arguments {
    va_list list;
};

enum class SizePrefix { None, H, HH, L, LL, W, PointerSized, I32, I64 };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    SizePrefix size = SizePrefix::None;
};

// Collects output up to a limit and remembers whether anything was cut off.
template <typename Out>
class Sink {
public:
    explicit Sink(size_t limit) : limit_(limit) {}

    size_t Room() const { return limit_ - text_.size(); }

    void PutRepeat(Out unit, size_t count)
    {
        if (count > Room()) {
            truncated_ = true;
            count = Room();
        }
        text_.append(count, unit);
    }

    void PutText(const std::basic_string<Out>& text)
    {
        if (text.size() > Room()) {
            truncated_ = true;
            text_.append(text, 0, Room());
        } else {
            text_ += text;
        }
    }

    std::basic_string<Out> Take(bool* truncated)
    {
        if (truncated != nullptr) {
            *truncated = truncated_;
        }
        return std::move(text_);
    }

private:
    std::basic_string<Out> text_;
    size_t limit_;
    bool truncated_ = false;
};

template <typename Out>
std::basic_string<Out> FromNarrow(std::string_view text)
{
    if constexpr (std::is_same_v<Out, char>) {
        return std::string(text);
    } else {
        return Utf8ToUtf16(text);
    }
}

template <typename Out>
std::basic_string<Out> FromWide(std::u16string_view text)
{
    if constexpr (std::is_same_v<Out, char>) {
        return Utf16ToUtf8(text);
    } else {
        return std::u16string(text);
    }
}

// Characters, not units: a UTF-8 continuation byte or a low surrogate adds none, so a width lines
// up columns whatever the text.
template <typename Out>
size_t CharacterCount(const std::basic_string<Out>& text)
{
    size_t count = 0;
    for (const Out unit : text) {
        if constexpr (std::is_same_v<Out, char>) {
            count += (static_cast<unsigned char>(unit) & 0xC0) != 0x80;
        } else {
            count += unit < 0xDC00 || unit > 0xDFFF;
        }
    }
    return count;
}

template <typename Out>
void PutPadded(Sink<Out>& sink, const Directive& directive, const std::basic_string<Out>& body)
{
    const size_t characters = CharacterCount(body);
    const size_t padding = directive.width > characters ? directive.width - characters : 0;
    if (directive.left) {
        sink.PutText(body);
        sink.PutRepeat(Out(' '), padding);
    } else {
        sink.PutRepeat(directive.zero ? Out('0') : Out(' '), padding);
        sink.PutText(body);
    }
}

// Units a string conversion may read: the precision, but never more than one past what still
// fits, so a huge precision neither allocates nor hides truncation.
size_t StringBound(const Directive& directive, size_t room)
{
    const size_t fits = room == SIZE_MAX ? room : room + 1;
    return directive.hasPrecision && directive.precision < fits ? directive.precision : fits;
}

// The text of a %s, %S, %c, %C or %Z conversion in the output's encoding.
template <typename Out>
class StringConversion {
public:
    StringConversion(Arguments& args, const Directive& directive, size_t bound)
        : args_(args), directive_(directive), bound_(bound)
    {
    }

    std::basic_string<Out> Character(bool wide)
    {
        const int value = va_arg(args_.list, int);
        if (wide) {
            return FromWide<Out>(std::u16string(1, static_cast<char16_t>(value)));
        }
        return FromNarrow<Out>(std::string(1, static_cast<char>(value)));
    }

    std::basic_string<Out> Terminated(bool wide)
    {
        if (wide) {
            const auto* text = va_arg(args_.list, const WCHAR*);
            if (text == nullptr) {
                return Null();
            }
            size_t units = 0;
            while (units < bound_ && text[units] != UNICODE_NULL) {
                ++units;
            }
            return FromWide<Out>(ToU16(text, units));
        }
        const auto* text = va_arg(args_.list, const char*);
        if (text == nullptr) {
            return Null();
        }
        size_t bytes = 0;
        while (bytes < bound_ && text[bytes] != '\0') {
            ++bytes;
        }
        return FromNarrow<Out>(std::string_view(text, bytes));
    }

    std::basic_string<Out> Counted(bool wide)
    {
        if (wide) {
            const auto* text = va_arg(args_.list, const UNICODE_STRING*);
            if (text == nullptr || text->Buffer == nullptr) {
                return Null();
            }
            CheckUnicodeString(text, "format %wZ", "argument");
            const size_t units = text->Length / sizeof(WCHAR);
            return FromWide<Out>(ToU16(text->Buffer, units < bound_ ? units : bound_));
        }
        const auto* text = va_arg(args_.list, const ANSI_STRING*);
        if (text == nullptr || text->Buffer == nullptr) {
            return Null();
        }
        const size_t bytes = text->Length < bound_ ? text->Length : bound_;
        return FromNarrow<Out>(std::string_view(text->Buffer, bytes));
    }

private:
    std::basic_string<Out> Null() const
    {
        auto text = FromNarrow<Out>("(null)");
        if (directive_.hasPrecision && directive_.precision < text.size()) {
            text.resize(directive_.precision);
        }
        return text;
    }

    Arguments& args_;
    const Directive& directive_;
    size_t bound_;
};

// Whether a string or character conversion takes a wide argument.
bool TakesWideArgument(char32_t conversion, SizePrefix size, bool wideFormat)
{
    if (size == SizePrefix::H) {
        return false;
    }
    if (size == SizePrefix::L || size == SizePrefix::W) {
        return true;
    }
    const bool opposite = conversion == 'S' || conversion == 'C';
    return wideFormat != opposite;
}

uint64_t ReadUnsigned(Arguments& args, SizePrefix size)
{
    switch (size) {
    case SizePrefix::HH:
        return static_cast<unsigned char>(va_arg(args.list, unsigned int));
    case SizePrefix::H:
        return static_cast<unsigned short>(va_arg(args.list, unsigned int));
    case SizePrefix::LL:
    case SizePrefix::I64:
    case SizePrefix::PointerSized:
        return va_arg(args.list, unsigned long long);
    default:
        return va_arg(args.list, unsigned int);
    }
}

int64_t ReadSigned(Arguments& args, SizePrefix size)
{
    switch (size) {
    case SizePrefix::HH:
        return static_cast<signed char>(va_arg(args.list, int));
    case SizePrefix::H:
        return static_cast<short>(va_arg(args.list, int));
    case SizePrefix::LL:
    case SizePrefix::I64:
    case SizePrefix::PointerSized:
        return va_arg(args.list, long long);
    default:
        return va_arg(args.list, int);
    }
}

template <typename Out>
void PutInteger(Sink<Out>& sink, Directive directive, char32_t conversion, uint64_t magnitude, char sign)
{
    const unsigned base = conversion == 'o' ? 8 : (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16 : 10;
    const char* digitSet = (conversion == 'X' || conversion == 'p') ? "0123456789ABCDEF" : "0123456789abcdef";

    std::string digits;
    for (uint64_t rest = magnitude; rest != 0; rest /= base) {
        digits.insert(digits.begin(), digitSet[rest % base]);
    }
    const size_t minimumDigits = directive.hasPrecision ? std::min(directive.precision, sink.Room()) : 1;
    if (digits.size() < minimumDigits) {
        digits.insert(0, minimumDigits - digits.size(), '0');
    }

    std::string prefix;
    if (sign != '\0') {
        prefix.push_back(sign);
    }
    if (directive.alternate && conversion == 'o' && (digits.empty() || digits[0] != '0')) {
        digits.insert(digits.begin(), '0');
    }
    if (directive.alternate && (conversion == 'x' || conversion == 'X') && magnitude != 0) {
        prefix += conversion == 'x' ? "0x" : "0X";
    }

    // Zero padding goes between the sign or radix prefix and the digits; a precision turns it off.
    if (directive.zero && !directive.left && !directive.hasPrecision && directive.width > prefix.size() + digits.size()) {
        const size_t zeros = std::min(directive.width - prefix.size() - digits.size(), sink.Room());
        digits.insert(0, zeros, '0');
    }
    directive.zero = false;
    PutPadded(sink, directive, FromNarrow<Out>(prefix + digits));
}

// Formats `format` (char or WCHAR units) into output units Out.
template <typename Out, typename FormatUnit>
class Engine {
public:
    Engine(const FormatUnit* format, va_list args, size_t limit) : format_(format), sink_(limit)
    {
        va_copy(args_.list, args);
    }
    ~Engine() { va_end(args_.list); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    std::basic_string<Out> Run(bool* truncated)
    {
        const FormatUnit* p = format_;
        while (*p != FormatUnit(0)) {
            if (*p != FormatUnit('%')) {
                sink_.PutRepeat(static_cast<Out>(*p++), 1);
                continue;
            }
            ++p;
            Directive directive = ParseDirective(p);
            if (*p == FormatUnit(0)) {
                break;  // a lone % at the end prints nothing
            }
            Convert(static_cast<char32_t>(static_cast<std::make_unsigned_t<FormatUnit>>(*p++)), directive);
        }
        return sink_.Take(truncated);
    }

private:
    static constexpr bool kWideFormat = !std::is_same_v<FormatUnit, char>;

    static bool Is(FormatUnit unit, char ascii) { return unit == FormatUnit(ascii); }
    static bool IsDigit(FormatUnit unit) { return unit >= FormatUnit('0') && unit <= FormatUnit('9'); }

    static size_t ParseNumber(const FormatUnit*& p)
    {
        size_t value = 0;
        while (IsDigit(*p)) {
            const size_t digit = static_cast<size_t>(*p++ - FormatUnit('0'));
            value = value > (SIZE_MAX - digit) / 10 ? SIZE_MAX : value * 10 + digit;
        }
        return value;
    }

    Directive ParseDirective(const FormatUnit*& p)
    {
        Directive directive;
        for (;; ++p) {
            if (Is(*p, '-')) {
                directive.left = true;
            } else if (Is(*p, '+')) {
                directive.plus = true;
            } else if (Is(*p, ' ')) {
                directive.space = true;
            } else if (Is(*p, '#')) {
                directive.alternate = true;
            } else if (Is(*p, '0')) {
                directive.zero = true;
            } else {
                break;
            }
        }
        if (Is(*p, '*')) {
            ++p;
            const int width = va_arg(args_.list, int);
            directive.left = directive.left || width < 0;
            directive.width = static_cast<size_t>(width < 0 ? -static_cast<long long>(width) : width);
        } else {
            directive.width = ParseNumber(p);
        }
        if (Is(*p, '.')) {
            ++p;
            if (Is(*p, '*')) {
                ++p;
                const int precision = va_arg(args_.list, int);
                directive.hasPrecision = precision >= 0;  // a negative precision counts as none
                directive.precision = directive.hasPrecision ? static_cast<size_t>(precision) : 0;
            } else {
                directive.hasPrecision = true;
                directive.precision = ParseNumber(p);
            }
        }
        directive.size = ParseSize(p);
        return directive;
    }

    static SizePrefix ParseSize(const FormatUnit*& p)
    {
        if (Is(*p, 'h')) {
            ++p;
            return Is(*p, 'h') ? (++p, SizePrefix::HH) : SizePrefix::H;
        }
        if (Is(*p, 'l')) {
            ++p;
            return Is(*p, 'l') ? (++p, SizePrefix::LL) : SizePrefix::L;
        }
        if (Is(*p, 'w')) {
            ++p;
            return SizePrefix::W;
        }
        if (Is(*p, 'I')) {
            ++p;
            if (Is(p[0], '6') && Is(p[1], '4')) {
                p += 2;
                return SizePrefix::I64;
            }
            if (Is(p[0], '3') && Is(p[1], '2')) {
                p += 2;
                return SizePrefix::I32;
            }
            return SizePrefix::PointerSized;
        }
        if (Is(*p, 'z') || Is(*p, 't') || Is(*p, 'j')) {
            ++p;
            return SizePrefix::PointerSized;
        }
        return SizePrefix::None;
    }

    void Convert(char32_t conversion, Directive& directive)
    {
        switch (conversion) {
        case 'd':
        case 'i': {
            const int64_t value = ReadSigned(args_, directive.size);
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            const char sign = value < 0 ? '-' : directive.plus ? '+' : directive.space ? ' ' : '\0';
            PutInteger(sink_, directive, conversion, magnitude, sign);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            PutInteger(sink_, directive, conversion, ReadUnsigned(args_, directive.size), '\0');
            break;
        case 'p':
            directive.hasPrecision = true;
            directive.precision = 2 * sizeof(void*);
            directive.alternate = false;
            PutInteger(sink_, directive, conversion, reinterpret_cast<uintptr_t>(va_arg(args_.list, void*)), '\0');
            break;
        case 'c':
        case 'C':
        case 's':
        case 'S':
        case 'Z': {
            const bool wide = TakesWideArgument(conversion, directive.size, kWideFormat);
            StringConversion<Out> text(args_, directive, StringBound(directive, sink_.Room()));
            PutPadded(sink_, directive,
                      conversion == 'Z'                          ? text.Counted(wide)
                      : (conversion == 'c' || conversion == 'C') ? text.Character(wide)
                                                                 : text.Terminated(wide));
            break;
        }
        case '%':
            sink_.PutRepeat(Out('%'), 1);
            break;
        default:
            Unsupported(conversion);
        }
    }

    [[noreturn]] void Unsupported(char32_t conversion) const
    {
        std::string format;
        if constexpr (kWideFormat) {
            format = Utf16ToUtf8(ToU16(format_));
        } else {
            format = format_;
        }
        const std::string shown = conversion < 0x80 ? std::string(1, static_cast<char>(conversion))
                                                    : Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(conversion)));
        StopMachine("format: unsupported conversion %" + shown + " in \"" + format + "\"");
    }

    const FormatUnit* format_;
    Arguments args_;
    Sink<Out> sink_;
};

}  // namespace

std::string FormatNarrow(PCSTR format, va_list args, size_t limit, bool* truncated)
{
    CheckArgumentPresent(format, "format", "format string");
    return Engine<char, char>(format, args, limit).Run(truncated);
}

std::u16string FormatWide(PCWSTR format, va_list args, size_t limit, bool* truncated)
{
    CheckArgumentPresent(format, "format", "format string");
    return Engine<char16_t, WCHAR>(format, args, limit).Run(truncated);
}

}  // namespace vexsim

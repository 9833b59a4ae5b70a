// The format checker: walks a PEP 3118 format string item by item and compares each item with
// the one element a view expects. Structs are flattened; sub-array shapes are parsed and refused,
// since every element type here is a single scalar.
#include "frame/format.hpp"

#include "frame/messages.hpp"
#include "frame/python.hpp"

namespace norvale::frame {

namespace {

struct Item {
    Kind kind;
    std::size_t size;
    const char *description;
};

const char *describe(char code, bool complex) {
    switch (code) {
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 's':
        case 'p': return "a string";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 'T': return "a struct";
        default: return "unparsable format string";
    }
}

class Checker {
public:
    Checker(const char *format, const ElementType &type, const char *type_name)
        : at_(format), type_(type), type_name_(type_name) {}

    int run() {
        if (parse(0) < 0) return -1;
        if (!matched_) return mismatch("end");
        return 0;
    }

private:
    const char *at_;
    const ElementType &type_;
    const char *type_name_;
    bool native_sizes_ = true;
    bool matched_ = false;
    std::size_t items_ = 0;  // items taken so far

    // Deeper nesting than any real exporter writes; past it the format is refused rather
    // than recursed into without bound.
    static constexpr int max_depth = 64;

    int mismatch(const char *got) {
        if (matched_) PyErr_Format(PyExc_ValueError, message::dtype_mismatch_past_end, got);
        else PyErr_Format(PyExc_ValueError, message::dtype_mismatch, type_name_, got);
        return -1;
    }

    static int unexpected(char c) {
        PyErr_Format(PyExc_ValueError, message::unexpected_format_character, c);
        return -1;
    }

    // Reads a decimal count at the cursor; -1 when there is none.
    Py_ssize_t read_count() {
        if (*at_ < '0' || *at_ > '9') return -1;
        Py_ssize_t count = 0;
        while (*at_ >= '0' && *at_ <= '9') {
            if (count > (PY_SSIZE_T_MAX - 9) / 10) {
                PyErr_Format(PyExc_ValueError, message::unreadable_count, *at_);
                return -2;
            }
            count = count * 10 + (*at_++ - '0');
        }
        return count;
    }

    int item_of(char code, bool complex, Item &item) {
        std::size_t size;
        Kind kind;
        switch (code) {
            case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': kind = Kind::signed_integer; break;
            case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': kind = Kind::unsigned_integer; break;
            case 'f': case 'd': case 'g': kind = complex ? Kind::complex : Kind::real; break;
            case 'c': kind = Kind::character; break;
            case 'O': kind = Kind::object; break;
            case 'P': kind = Kind::pointer; break;
            default: return unexpected(code);
        }
        if (complex && kind != Kind::complex) return unexpected(code);
        switch (code) {
            case '?': case 'b': case 'B': case 'c': case 's': case 'p': size = 1; break;
            case 'h': case 'H': size = 2; break;
            case 'i': case 'I': case 'f': size = 4; break;
            case 'l': case 'L': size = native_sizes_ ? sizeof(long) : 4; break;
            case 'q': case 'Q': case 'd': size = 8; break;
            case 'O': case 'P': size = sizeof(void *); break;
            case 'g':
                if (!native_sizes_) {
                    PyErr_SetString(PyExc_ValueError, message::no_standard_long_double);
                    return -1;
                }
                size = sizeof(long double);
                break;
            default: return unexpected(code);
        }
        item = {kind, complex ? 2 * size : size, describe(code, complex)};
        return 0;
    }

    int take(const Item &item) {
        ++items_;
        if (matched_) return mismatch(item.description);
        const bool same_size = item.size == type_.size;
        const bool same_kind = item.kind == type_.kind || item.kind == Kind::character || type_.kind == Kind::character;
        if (!same_size || !same_kind) return mismatch(item.description);
        matched_ = true;
        return 0;
    }

    // A sub-array shape such as "(2,3)": parsed for its errors, then refused for a scalar element.
    int shape() {
        ++at_;  // '('
        int dimensions = 0;
        for (;;) {
            while (*at_ == ' ') ++at_;
            Py_ssize_t extent = read_count();
            if (extent == -2) return -1;
            if (extent < 0) {
                PyErr_Format(PyExc_ValueError, message::unreadable_count, *at_);
                return -1;
            }
            ++dimensions;
            while (*at_ == ' ') ++at_;
            if (*at_ == ')') {
                ++at_;
                break;
            }
            if (*at_ == '\0') {
                PyErr_SetString(PyExc_ValueError, message::unexpected_end_in_shape);
                return -1;
            }
            if (*at_ != ',') {
                PyErr_Format(PyExc_ValueError, message::comma_expected_in_shape, *at_);
                return -1;
            }
            ++at_;
        }
        PyErr_Format(PyExc_ValueError, message::shape_dimensions, 0, dimensions);
        return -1;
    }

    // Parses items until the end of the string, or until the '}' that closes a struct at `depth`.
    int parse(int depth) {
        for (;;) {
            const char c = *at_;
            switch (c) {
                case '\0': return 0;
                case ' ': case '\t': case '\n': case '\r': case '\f': case '\v': ++at_; continue;
                case '@': case '^': native_sizes_ = true; ++at_; continue;
                case '=': case '<': native_sizes_ = false; ++at_; continue;
                case '>': case '!':
                    PyErr_SetString(PyExc_ValueError, message::big_endian);
                    return -1;
                case ':': {  // a field name
                    const char *end = at_ + 1;
                    while (*end && *end != ':') ++end;
                    at_ = *end ? end + 1 : end;
                    continue;
                }
                case '}':
                    if (depth == 0) return unexpected(c);
                    ++at_;
                    return 0;
                case '(': if (shape() < 0) return -1; continue;
                default: break;
            }
            Py_ssize_t count = read_count();
            if (count == -2) return -1;
            while (*at_ == ' ') ++at_;
            if (count >= 0 && *at_ == '(') {
                PyErr_SetString(PyExc_ValueError, message::repeated_arrays);
                return -1;
            }
            if (count < 0) count = 1;
            if (*at_ == 'T') {
                if (*++at_ != '{') {
                    PyErr_SetString(PyExc_ValueError, message::brace_after_struct);
                    return -1;
                }
                ++at_;
                if (depth + 1 > max_depth) {
                    PyErr_SetString(PyExc_ValueError, message::struct_nesting_too_deep);
                    return -1;
                }
                // The body is parsed once for its errors; a repeat only matters when the body
                // holds items, and then the first item of the second pass already decides.
                const char *body = at_;
                const std::size_t before = items_;
                const bool matched_before = matched_;
                if (parse(depth + 1) < 0) return -1;
                if (count == 0) {  // no repeat at all: what the body held does not count
                    items_ = before;
                    matched_ = matched_before;
                }
                const char *after = at_;
                if (count > 1 && items_ != before) {
                    at_ = body;
                    if (parse(depth + 1) < 0) return -1;
                }
                at_ = after;
                continue;
            }
            bool complex = false;
            if (*at_ == 'Z') {
                complex = true;
                ++at_;
            }
            const char code = *at_;
            if (code == '\0') return complex ? unexpected('Z') : mismatch("end");
            Item item;
            if (item_of(code, complex, item) < 0) return -1;
            ++at_;
            // One item decides the match, a second one is already past the end: no need to
            // walk a huge repeat count.
            for (Py_ssize_t i = 0; i < count && i < 2; ++i)
                if (take(item) < 0) return -1;
        }
    }
};

}  // namespace

int check_buffer_format(const char *format, const ElementType &type, const char *type_name) noexcept {
    return Checker(format ? format : "B", type, type_name).run();
}

}  // namespace norvale::frame

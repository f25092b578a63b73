// str() of ints and floats without going through the interpreter.
//
// Serialising a large result table calls str() on every cell, and most cells
// are floats. float.__repr__ runs David Gay's dtoa and then builds the string
// through several intermediate buffers, which dominates that loop. Here
// std::to_chars (shortest round-trip digits, like repr) writes into a stack
// buffer that is laid out the way float.__repr__ does and copied once into a
// new ASCII str.
#include "number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace nembra {
namespace {

constexpr std::size_t kBufSize = 64;  // longest text is 24 chars

Ref ascii_str(const char* text, std::size_t len) noexcept {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), text, len);
    return s;
}

// Most table values are decimals with a few digits after the point (1234.5678). For
// those, the shortest digits that read back as x are found without the general
// algorithm: the smallest d for which m = round(x * 10**d) gives m / 10**d == x. That
// division is exact in its inputs and correctly rounded, so it is precisely the value
// "m e-d" reads back as; and while x * 10**d < 2**52 no other integer at that d reads
// back as x, so m is the digit string repr chooses. Takes x >= 0, not nan or inf;
// returns nullptr where it does not apply (repr uses exponent notation below 1e-4).
char* format_short_decimal(double x, char* out) noexcept {
    static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    static constexpr double kLimit = 4503599627370496.0;  // 2**52
    if (x != 0.0 && x < 1e-4) return nullptr;
    for (int d = 0; d < 8; ++d) {
        const double scaled = x * kPowersOfTen[d];
        if (scaled >= kLimit) return nullptr;
        // Round to the nearest integer, ties to even: adding and subtracting 2**52 leaves
        // no fraction bits for a value in [0, 2**52) (and, unlike nearbyint, needs no
        // call into the maths library).
        const double m = (scaled + kLimit) - kLimit;
        if (m / kPowersOfTen[d] != x) continue;

        char digits[24];
        const int n = static_cast<int>(
            std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(m)).ptr - digits);
        char* p = out;
        if (d == 0) {  // integral: "1234.0"
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
            *p++ = '.';
            *p++ = '0';
            return p;
        }
        if (n > d) {  // "12.345"
            std::memcpy(p, digits, static_cast<std::size_t>(n - d));
            p += n - d;
            *p++ = '.';
            std::memcpy(p, digits + n - d, static_cast<std::size_t>(d));
            return p + d;
        }
        *p++ = '0';  // "0.00123"
        *p++ = '.';
        for (int i = n; i < d; ++i) *p++ = '0';
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        return p + n;
    }
    return nullptr;
}

// Writes float.__repr__(x) into out and returns the end of the text.
char* format_double(double x, char* out) noexcept {
    if (std::isnan(x)) {  // a negative nan prints as "nan" too
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    char* p = out;
    if (std::signbit(x)) {  // includes -0.0
        *p++ = '-';
        x = -x;
    }
    if (std::isinf(x)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }

    if (char* end = format_short_decimal(x, p)) return end;

    // "D[.DDD]e(+|-)XX[X]": the shortest digits that read back as x. Its
    // exponent always has a sign and at least two digits, as in repr.
    char sci[kBufSize];
    char* sci_end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const char* e = static_cast<const char*>(std::memchr(sci, 'e', static_cast<std::size_t>(sci_end - sci)));
    int exp10 = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), sci_end, exp10);

    // With x = 0.DIGITS * 10**decpt, repr switches to exponent notation when
    // decpt <= -4 or decpt > 16; that text is exactly what to_chars wrote.
    const int decpt = exp10 + 1;
    if (decpt <= -4 || decpt > 16) {
        const std::size_t n = static_cast<std::size_t>(sci_end - sci);
        std::memcpy(p, sci, n);
        return p + n;
    }

    char digits[kBufSize];
    int ndigits = 0;
    for (const char* q = sci; q < e; ++q) {
        if (*q != '.') {
            digits[ndigits++] = *q;
        }
    }

    if (decpt <= 0) {  // 0.000DIGITS
        *p++ = '0';
        *p++ = '.';
        for (int i = decpt; i < 0; ++i) {
            *p++ = '0';
        }
        std::memcpy(p, digits, static_cast<std::size_t>(ndigits));
        return p + ndigits;
    }
    if (decpt < ndigits) {  // DIG.ITS
        std::memcpy(p, digits, static_cast<std::size_t>(decpt));
        p += decpt;
        *p++ = '.';
        std::memcpy(p, digits + decpt, static_cast<std::size_t>(ndigits - decpt));
        return p + (ndigits - decpt);
    }
    // DIGITS000.0: integral values keep a ".0"
    std::memcpy(p, digits, static_cast<std::size_t>(ndigits));
    p += ndigits;
    for (int i = ndigits; i < decpt; ++i) {
        *p++ = '0';
    }
    *p++ = '.';
    *p++ = '0';
    return p;
}

}  // namespace

Ref str_of(PyObject* value) noexcept {
    char buf[kBufSize];
    char* end;
    if (PyFloat_CheckExact(value)) {
        end = format_double(PyFloat_AS_DOUBLE(value), buf);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {  // beyond int64: keeps the int->str digit limit
            return Ref::steal(PyObject_Str(value));
        }
        if (v == -1 && PyErr_Occurred()) {
            return Ref();
        }
        end = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v)).ptr;
    } else {
        return Ref::steal(PyObject_Str(value));
    }
    return ascii_str(buf, static_cast<std::size_t>(end - buf));
}

}  // namespace nembra

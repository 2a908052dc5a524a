// The Windows runtime's printf conventions, which the host's printf does not share: %s follows the
// width of the format (narrow in _vsnprintf, wide in _vsnwprintf), %ws/%ls is always wide, %hs
// always narrow, %S the opposite of the format's width, and 'l' on an integer is 32 bits.
// Each directive takes its argument with the type the Windows runtime would, then is formatted
// piece by piece, so the host's idea of %s never applies.
#include <windows.h>

// Each directive is handed to the host printf with a format built here from the directive.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

#include <climits>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>

#include "core/registry.h"

namespace {

std::wstring WideOf(const char* s, long maxChars) {
  std::wstring out;
  for (long i = 0; s[i] && (maxChars < 0 || i < maxChars); ++i)
    out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(s[i])));
  return out;
}

template <typename Ch>
struct Out;
// Wide text in a narrow format goes through the "C" locale, where only code points below 256
// have a narrow form. An argument with one that has none ends the text before it: the call
// returns -1 with the text made so far (as Wine's runtime does).
template <>
struct Out<char> {
  std::string s;
  bool failed = false;
  void Text(const std::string& t) { s += t; }
  void Text(const std::wstring& t) {
    for (wchar_t c : t)
      if (static_cast<uint32_t>(c) >= 256) {
        failed = true;  // the argument is converted whole, so none of it appears
        return;
      }
    for (wchar_t c : t) s.push_back(static_cast<char>(c));
  }
  void Ascii(const char* t) { s += t; }
};
template <>
struct Out<wchar_t> {
  std::wstring s;
  bool failed = false;
  void Text(const std::string& t) { s += WideOf(t.c_str(), -1); }
  void Text(const std::wstring& t) { s += t; }
  void Ascii(const char* t) { s += WideOf(t, -1); }
};

// The next '%' or the terminator; the runtime's string routines look at many characters a step.
inline const char* FindPercent(const char* p) {
  const char* q = std::strchr(p, '%');
  return q ? q : p + std::strlen(p);
}
inline const wchar_t* FindPercent(const wchar_t* p) {
  const wchar_t* q = std::wcschr(p, L'%');
  return q ? q : p + std::wcslen(p);
}

// Length of a string argument, reading no further than PRECISION characters when there is one:
// with a precision the argument need not be terminated.
inline size_t Length(const char* s, int precision) {
  return precision < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(precision));
}
inline size_t Length(const wchar_t* s, int precision) {
  return precision < 0 ? std::wcslen(s) : wcsnlen(s, static_cast<size_t>(precision));
}

template <typename Ch>
bool IsDigit(Ch c) {
  return c >= '0' && c <= '9';
}

// Formats FORMAT into a string of the format's width, following the Windows runtime. Only the
// first LIMIT characters reach the caller, and whether there are more: formatting stops past
// LIMIT, and widths and precisions are capped there, so "%*d" with a huge width costs nothing.
template <typename Ch>
void FormatWindows(const Ch* fmt, va_list ap, size_t limit, bool& failed, std::basic_string<Ch>& result) {
  Out<Ch> out;
  out.s.swap(result);  // the caller's buffer, with the room it already has
  out.s.clear();
  out.s.reserve(256);
  const bool wideFormat = std::is_same<Ch, wchar_t>::value;
  const int cap = static_cast<int>(std::min<size_t>(limit, INT_MAX - 1) + 1);
  for (const Ch* p = fmt; *p && out.s.size() <= limit;) {
    if (*p != '%') {
      const Ch* start = p;
      p = FindPercent(p);
      out.s.append(start, static_cast<size_t>(p - start));
      continue;
    }
    const Ch* specStart = p++;
    // Flags, at most one of each: the runtime takes repeats as one.
    char flags[8] = {0};
    size_t nflags = 0;
    auto addFlag = [&](char f) {
      if (!std::strchr(flags, f) && nflags < sizeof(flags) - 1) flags[nflags++] = f;
    };
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') addFlag(static_cast<char>(*p++));
    int width = -1;
    if (*p == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        addFlag('-');
        width = width == INT_MIN ? INT_MAX : -width;
      }
      ++p;
    } else if (IsDigit(*p)) {
      width = 0;
      while (IsDigit(*p)) width = width * 10 + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(ap, int);
        if (precision < 0) precision = -1;  // a negative precision counts as none
        ++p;
      } else {
        while (IsDigit(*p)) precision = precision * 10 + (*p++ - '0');
      }
    }
    if (width > cap) width = cap;
    if (precision > cap) precision = cap;
    // Length: 'h', 'l' (32 bits for integers, wide for strings), 'w' (wide), 'll'/'I64', 'I32',
    // 'I' (pointer-sized), 'z', 'j', 't', 'L'.
    enum { kNone, kShort, kChar, kLong, kLongLong, kSize, kIntMax, kPtrDiff, kLongDouble, kWide } len = kNone;
    if (*p == 'h') {
      ++p;
      len = kShort;
      if (*p == 'h') { ++p; len = kChar; }
    } else if (*p == 'l') {
      ++p;
      len = kLong;
      if (*p == 'l') { ++p; len = kLongLong; }
    } else if (*p == 'w') {
      ++p;
      len = kWide;
    } else if (*p == 'I') {
      if (p[1] == '6' && p[2] == '4') { p += 3; len = kLongLong; }
      else if (p[1] == '3' && p[2] == '2') { p += 3; len = kNone; }
      else { ++p; len = kSize; }
    } else if (*p == 'z') { ++p; len = kSize; }
    else if (*p == 'j') { ++p; len = kIntMax; }
    else if (*p == 't') { ++p; len = kPtrDiff; }
    else if (*p == 'L') { ++p; len = kLongDouble; }

    Ch conv = *p;
    if (!conv) {  // a lone '%' at the end prints nothing
      break;
    }
    ++p;

    // The directive rebuilt for the host's printf: "%" flags width ".precision", then the length
    // and conversion that number() appends.
    char spec[64];
    size_t specLen = 0;
    auto putSpec = [&](char c) { spec[specLen++] = c; };
    auto putNumber = [&](int v) {
      char digits[12];
      int k = 0;
      do digits[k++] = static_cast<char>('0' + v % 10); while ((v /= 10) > 0);
      while (k) putSpec(digits[--k]);
    };
    putSpec('%');
    for (size_t i = 0; i < nflags; ++i) putSpec(flags[i]);
    if (width >= 0) putNumber(width);
    if (precision >= 0) {
      putSpec('.');
      putNumber(precision);
    }
    spec[specLen] = '\0';
    auto number = [&](const char* length, char conversion, auto value) {
      char f[sizeof spec + 4];
      size_t k = specLen;
      std::memcpy(f, spec, k);
      while (*length) f[k++] = *length++;
      f[k++] = conversion;
      f[k] = '\0';
      char small[64];
      int n = std::snprintf(small, sizeof small, f, value);
      if (n <= 0) return;
      if (static_cast<size_t>(n) < sizeof small) {
        out.Ascii(small);
        return;
      }
      // A wide field: sized by the first call, made by a second.
      std::string t(static_cast<size_t>(n) + 1, '\0');
      std::snprintf(&t[0], t.size(), f, value);
      t.resize(static_cast<size_t>(n));
      out.Ascii(t.c_str());
    };

    switch (conv) {
      case '%': out.Ascii("%"); break;
      case 'd': case 'i': case 'o': case 'u': case 'x': case 'X': {
        bool isSigned = conv == 'd' || conv == 'i';
        char c = static_cast<char>(conv);
        if (specLen == 1 && (len == kNone || len == kLong) && conv != 'o') {
          // The common plain %d, %u, %x: no need for the host's printf.
          unsigned int u = va_arg(ap, unsigned int);
          bool negative = isSigned && static_cast<int>(u) < 0;
          if (negative) u = 0u - u;
          const char* digitsOf = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
          unsigned base = conv == 'x' || conv == 'X' ? 16 : 10;
          char text[16];
          int k = sizeof text;
          text[--k] = '\0';
          do text[--k] = digitsOf[u % base]; while ((u /= base) > 0);
          if (negative) text[--k] = '-';
          out.Ascii(text + k);
          break;
        }
        if (len == kLongLong || len == kIntMax) {
          if (isSigned) number("ll", c, va_arg(ap, long long));
          else number("ll", c, va_arg(ap, unsigned long long));
        } else if (len == kSize || len == kPtrDiff) {
          if (isSigned) number("z", c, va_arg(ap, ptrdiff_t));
          else number("z", c, va_arg(ap, size_t));
        } else {
          const char* length = len == kShort ? "h" : len == kChar ? "hh" : "";
          if (isSigned) number(length, c, va_arg(ap, int));
          else number(length, c, va_arg(ap, unsigned int));
        }
        break;
      }
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': {
        char c = static_cast<char>(conv);
        if (len == kLongDouble) number("L", c, va_arg(ap, long double));
        else number("", c, va_arg(ap, double));
        break;
      }
      case 'p': {
        // The Windows runtime prints a pointer as upper-case hex digits, padded to its width.
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
        out.Ascii(buf);
        break;
      }
      case 'n': (void)va_arg(ap, int*); break;  // never writes through the pointer
      case 'c': case 'C': case 's': case 'S': {
        // Which width the argument has: %s and %c follow the format, %S and %C the opposite;
        // 'h' makes it narrow, 'l' and 'w' wide.
        bool upper = conv == 'S' || conv == 'C';
        bool argWide = upper ? !wideFormat : wideFormat;
        if (len == kShort) argWide = false;
        if (len == kLong || len == kWide) argWide = true;
        std::basic_string<Ch> piece;
        Out<Ch> tmp;
        if (conv == 'c' || conv == 'C') {
          int v = va_arg(ap, int);  // both widths arrive promoted to int
          // A wide character without a narrow form is left out; the call goes on.
          if (argWide && !wideFormat && static_cast<unsigned>(v) >= 256) break;
          if (argWide) tmp.Text(std::wstring(1, static_cast<wchar_t>(v)));
          else tmp.Text(std::string(1, static_cast<char>(v)));
        } else if (argWide) {
          // With a precision the argument need not be terminated: read no further than it.
          const wchar_t* s = va_arg(ap, const wchar_t*);
          if (!s) s = L"(null)";
          size_t n = Length(s, precision);
          if constexpr (std::is_same<Ch, wchar_t>::value) {
            if (width <= 0) {  // same width, no padding: straight in
              out.s.append(s, n);
              break;
            }
          }
          tmp.Text(std::wstring(s, n));
        } else {
          const char* s = va_arg(ap, const char*);
          if (!s) s = "(null)";
          size_t n = Length(s, precision);
          if constexpr (std::is_same<Ch, char>::value) {
            if (width <= 0) {
              out.s.append(s, n);
              break;
            }
          }
          tmp.Text(std::string(s, n));
        }
        piece = tmp.s;
        if (tmp.failed) {
          out.s += piece;
          failed = true;
          result.swap(out.s);
          return;
        }
        if (width > 0 && piece.size() < static_cast<size_t>(width)) {
          bool left = std::strchr(flags, '-') != nullptr;
          std::basic_string<Ch> pad(static_cast<size_t>(width) - piece.size(),
                                    static_cast<Ch>(std::strchr(flags, '0') && !left ? '0' : ' '));
          piece = left ? piece + pad : pad + piece;
        }
        out.s += piece;
        break;
      }
      default:
        // Not a directive the runtime knows: it prints the text after the '%'.
        out.s += std::basic_string<Ch>(specStart + 1, p);
        break;
    }
  }
  result.swap(out.s);
}

// Each thread formats into its own buffer, kept between calls so that a line costs no allocation.
template <typename Ch>
std::basic_string<Ch>& ThreadBuffer() {
  static thread_local std::basic_string<Ch> buffer;
  if (buffer.capacity() > 4096) std::basic_string<Ch>().swap(buffer);  // after a very long text
  return buffer;
}

// The runtime's count rule: the text and its terminator when they fit; exactly COUNT characters
// and no terminator when the text is COUNT long (returns COUNT) or longer (returns -1). Without a
// buffer, nothing is written and the length is returned.
template <typename Ch>
int Deliver(const std::basic_string<Ch>& s, bool failed, Ch* buffer, size_t count) {
  if (!buffer) return failed ? -1 : static_cast<int>(std::min<size_t>(s.size(), INT_MAX));
  if (failed) {
    size_t n = std::min(s.size(), count);
    if (n) std::memcpy(buffer, s.data(), n * sizeof(Ch));
    if (n < count) buffer[n] = 0;
    return -1;
  }
  if (s.size() < count) {
    std::memcpy(buffer, s.c_str(), (s.size() + 1) * sizeof(Ch));
    return static_cast<int>(s.size());
  }
  if (count) std::memcpy(buffer, s.data(), count * sizeof(Ch));
  return s.size() == count ? static_cast<int>(count) : -1;
}

}  // namespace

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr) {
  if (!format) return -1;
  va_list ap;
  va_copy(ap, argptr);
  bool failed = false;
  std::string& s = ThreadBuffer<char>();
  FormatWindows<char>(format, ap, buffer ? count : SIZE_MAX, failed, s);
  va_end(ap);
  return Deliver(s, failed, buffer, count);
}

extern "C" int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list argptr) {
  if (!format) return -1;
  va_list ap;
  va_copy(ap, argptr);
  bool failed = false;
  std::wstring& s = ThreadBuffer<wchar_t>();
  FormatWindows<wchar_t>(format, ap, buffer ? count : SIZE_MAX, failed, s);
  va_end(ap);
  return Deliver(s, failed, buffer, count);
}

extern "C" int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = _vsnprintf(buffer, count, format, ap);
  va_end(ap);
  return r;
}

extern "C" int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = _vsnwprintf(buffer, count, format, ap);
  va_end(ap);
  return r;
}

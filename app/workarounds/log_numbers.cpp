// SPDX-License-Identifier: Apache-2.0
//
// Numbers in the server's log keep every digit.
//
// PAPPL 1.3.1 formats each log line itself: it copies the text, escapes
// string arguments, and writes each number with snprintf into the rest of
// its line buffer, but gives snprintf the room left as a negative count
// turned unsigned, a size larger than any object.  glibc 2.36 (Debian 12)
// writes the number whole; glibc 2.41 (Debian 13) drops its last character,
// so "blackness 10" is logged as "blackness 1" and "page mark 0" as "page
// mark ".
//
// The program defines papplLog, papplLogClient, papplLogJob and
// papplLogPrinter in place of PAPPL's own for every caller, PAPPL included:
// each writes the whole message here (numbers by snprintf with a true
// size, strings escaped as PAPPL escapes them, so a job name cannot start
// a line of its own) and hands PAPPL's own function the finished text as a
// format with no conversion left in it, every '%' doubled.
//

#include <pappl/pappl.h>

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

// Room for one number as written (a double with "%f" can take 300 digits).
constexpr std::size_t kPieceSize = 512;

// Longest message written here; PAPPL cuts its lines shorter still.
constexpr std::size_t kMaxMessage = 4096;

// Length modifiers of a conversion.
enum class Length
{
  Plain,       // none, h or hh (the value comes as an int or a double)
  Long,        // l
  LongLong,    // ll
  LongDouble,  // L
  Size,        // z
  Max,         // j
  Diff,        // t
};

//
// 'next_arg()' - The next argument, of type T.
//

template <typename T>
T
next_arg(va_list *args)  // IO - Arguments
{
  // The list was started by va_copy in write_message(); clang 14's analyzer
  // loses that through the pointer and takes it for uninitialized.
  return va_arg(*args, T);  // NOLINT(clang-analyzer-valist.Uninitialized)
}

//
// 'append_escaped()' - Append a string argument as PAPPL logs one: control
// characters, DEL, backslash and quotes as backslash escapes.
//

void
append_escaped(std::string &out,        // IO - Message
               const char  *value,      // I  - String, or null
               int          precision)  // I  - At most this many characters, or -1
{
  if (!value)
    value = "(null)";

  const std::size_t count = precision < 0 ? strlen(value) : strnlen(value, static_cast<std::size_t>(precision));

  for (std::size_t i = 0; i < count; i++)
  {
    const int c = static_cast<unsigned char>(value[i]);

    if (c >= ' ' && c != 0x7f && c != '\\' && c != '\'' && c != '\"')
    {
      out += static_cast<char>(c);
      continue;
    }
    out += '\\';
    switch (c)
    {
      case '\\': case '\'': case '\"': out += static_cast<char>(c); break;
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      default:
        out += static_cast<char>('0' + c / 64);
        out += static_cast<char>('0' + (c / 8) % 8);
        out += static_cast<char>('0' + c % 8);
        break;
    }
  }
}

//
// 'read_length()' - The length modifier at *p, moving past it and adding it
// to the conversion's own format.
//

Length
read_length(const char *&p,     // IO - Position in the format
            std::string &spec)  // IO - The conversion's format
{
  static constexpr struct { const char *text; Length length; } kLengths[] = {
    {"hh", Length::Plain}, {"h", Length::Plain}, {"ll", Length::LongLong}, {"l", Length::Long},
    {"L", Length::LongDouble}, {"z", Length::Size}, {"j", Length::Max}, {"t", Length::Diff},
  };

  for (const auto &entry : kLengths)
  {
    const std::size_t n = strlen(entry.text);

    if (strncmp(p, entry.text, n) == 0)
    {
      spec.append(p, n);
      p += n;
      return entry.length;
    }
  }
  return Length::Plain;
}

// One conversion of a format.
struct Conversion
{
  std::string spec;       // its own format, '*' written out as numbers
  int         precision;  // precision, or -1 when none
  Length      length;     // length modifier
  char        type;       // conversion character, or '\0' when the format ends inside it
};

//
// 'read_number()' - A width or precision at *p: digits, or '*' taking the
// next argument.
//

int
read_number(const char *&p,     // IO - Position in the format
            va_list     *args)  // IO - Arguments
{
  int value = 0;

  if (*p == '*')
  {
    p++;
    return next_arg<int>(args);
  }
  for (; isdigit(static_cast<unsigned char>(*p)) && value < 100000; p++)
    value = value * 10 + (*p - '0');
  return value;
}

//
// 'read_conversion()' - The conversion at *p (just past its '%'), moving
// past it.
//

Conversion
read_conversion(const char *&p,     // IO - Position in the format
                va_list     *args)  // IO - Arguments
{
  Conversion conv{"%", -1, Length::Plain, '\0'};

  while (*p && strchr("-+ #0'", *p))
    conv.spec += *p++;
  if (*p == '*' || isdigit(static_cast<unsigned char>(*p)))
    conv.spec += std::to_string(read_number(p, args));
  if (*p == '.')
  {
    p++;
    conv.precision = read_number(p, args);
    if (conv.precision >= 0)
      conv.spec += "." + std::to_string(conv.precision);
  }
  conv.length = read_length(p, conv.spec);
  if (*p)
  {
    conv.type = *p++;
    conv.spec += conv.type;
  }
  return conv;
}

//
// 'write_integer()' - An integer conversion with its argument.
//

void
write_integer(char              *piece,  // O  - Text, kPieceSize bytes
              const Conversion  &conv,   // I  - Conversion
              va_list           *args)   // IO - Arguments
{
  const char *spec     = conv.spec.c_str();
  const bool  is_signed = conv.type == 'd' || conv.type == 'i';

  switch (conv.length)
  {
    case Length::LongLong:
      if (is_signed)
        snprintf(piece, kPieceSize, spec, next_arg<long long>(args));
      else
        snprintf(piece, kPieceSize, spec, next_arg<unsigned long long>(args));
      break;
    case Length::Long:
      if (is_signed)
        snprintf(piece, kPieceSize, spec, next_arg<long>(args));
      else
        snprintf(piece, kPieceSize, spec, next_arg<unsigned long>(args));
      break;
    case Length::Size: case Length::Diff:
      if (is_signed)
        snprintf(piece, kPieceSize, spec, next_arg<std::ptrdiff_t>(args));
      else
        snprintf(piece, kPieceSize, spec, next_arg<std::size_t>(args));
      break;
    case Length::Max:
      if (is_signed)
        snprintf(piece, kPieceSize, spec, next_arg<std::intmax_t>(args));
      else
        snprintf(piece, kPieceSize, spec, next_arg<std::uintmax_t>(args));
      break;
    default:
      if (is_signed)
        snprintf(piece, kPieceSize, spec, next_arg<int>(args));
      else
        snprintf(piece, kPieceSize, spec, next_arg<unsigned>(args));
      break;
  }
}

//
// 'write_conversion()' - Append one conversion with its argument.
//

void
write_conversion(std::string      &out,   // IO - Message
                 const Conversion &conv,  // I  - Conversion
                 va_list          *args)  // IO - Arguments
{
  char piece[kPieceSize] = "";

  switch (conv.type)
  {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
      write_integer(piece, conv, args);
      break;
    case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
      if (conv.length == Length::LongDouble)
        snprintf(piece, sizeof(piece), conv.spec.c_str(), next_arg<long double>(args));
      else
        snprintf(piece, sizeof(piece), conv.spec.c_str(), next_arg<double>(args));
      break;
    case 'c':
      snprintf(piece, sizeof(piece), conv.spec.c_str(), next_arg<int>(args));
      break;
    case 'p':
      snprintf(piece, sizeof(piece), "%p", next_arg<void *>(args));
      break;
    case 's':
      append_escaped(out, next_arg<const char *>(args), conv.precision);
      break;
    case 'n':
      (void)next_arg<void *>(args);  // never written through
      break;
    default:
      out += conv.spec;  // not a conversion (or the format ends): left as it stands
      break;
  }
  out += piece;
}

//
// 'write_message()' - A printf-style message written out whole; strings as
// PAPPL escapes them.
//

std::string
write_message(const char *format,  // I - printf-style format
              va_list     ap)      // I - Its arguments
{
  std::string out;
  va_list     args;

  va_copy(args, ap);
  for (const char *p = format; *p && out.size() < kMaxMessage;)
  {
    if (*p != '%')
      out += *p++;
    else if (p[1] == '%')
    {
      out += '%';
      p += 2;
    }
    else
    {
      p++;
      write_conversion(out, read_conversion(p, &args), &args);
    }
  }
  va_end(args);
  return out;
}

//
// 'as_format()' - A finished message as a format with no conversion in it.
//

std::string
as_format(const std::string &message)  // I - Message
{
  std::string format;

  format.reserve(message.size() + 16);
  for (const char c : message)
  {
    format += c;
    if (c == '%')
      format += '%';
  }
  return format;
}

//
// 'pass_on()' - Write a message whole and hand it to PAPPL's own function of
// that name, as a format with no conversion left in it.
//

template <typename Object>
void
pass_on(const char       *name,     // I - PAPPL's function
        Object           *object,   // I - System, client, job or printer
        pappl_loglevel_t  level,    // I - Level
        const char       *message,  // I - printf-style message
        va_list           ap)       // I - Its arguments
{
  using Log = void (*)(Object *, pappl_loglevel_t, const char *, ...);
  static const auto real = reinterpret_cast<Log>(dlsym(RTLD_NEXT, name));

  if (!real || !message)
    return;
  const std::string text = as_format(write_message(message, ap));
  real(object, level, text.c_str());
}

} // namespace

//
// 'papplLog()' - Log a message of the system.
//

extern "C" void
papplLog(pappl_system_t *system, pappl_loglevel_t level, const char *message, ...)
{
  va_list ap;

  va_start(ap, message);
  pass_on("papplLog", system, level, message, ap);
  va_end(ap);
}

//
// 'papplLogClient()' - Log a message of a client.
//

extern "C" void
papplLogClient(pappl_client_t *client, pappl_loglevel_t level, const char *message, ...)
{
  va_list ap;

  va_start(ap, message);
  pass_on("papplLogClient", client, level, message, ap);
  va_end(ap);
}

//
// 'papplLogJob()' - Log a message of a job.
//

extern "C" void
papplLogJob(pappl_job_t *job, pappl_loglevel_t level, const char *message, ...)
{
  va_list ap;

  va_start(ap, message);
  pass_on("papplLogJob", job, level, message, ap);
  va_end(ap);
}

//
// 'papplLogPrinter()' - Log a message of a printer.
//

extern "C" void
papplLogPrinter(pappl_printer_t *printer, pappl_loglevel_t level, const char *message, ...)
{
  va_list ap;

  va_start(ap, message);
  pass_on("papplLogPrinter", printer, level, message, ap);
  va_end(ap);
}

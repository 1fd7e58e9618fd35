// The command line: options in either form (--name value, --name=value),
// strict numbers, and the exit codes every command shares.
#ifndef TOLVANE_TOOLS_OPTIONS_H
#define TOLVANE_TOOLS_OPTIONS_H

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace tolvane::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// One option a command accepts: "--name", and whether a value follows.
struct OptionRule {
  const char* name;
  bool takesValue;
};

// A command's arguments, split into options and operands. "--" ends the
// options; "-" alone is an operand (standard input or output).
class Arguments {
 public:
  // False, with `problem` saying why, on an unknown option, a missing value,
  // a value given to a flag, or an option given twice.
  bool Parse(int argc, char** argv, std::initializer_list<OptionRule> rules, std::string* problem);

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // The option's value, or nullptr when it was not given.
  const std::string* Value(const std::string& name) const;
  const std::vector<std::string>& operands() const { return operands_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> operands_;
};

// A number in plain decimal notation: an optional '-', digits, and an
// optional fraction ("7.5"). Not hexadecimal, exponents, spaces, "inf" or
// "nan", which strtod would take.
bool ParseDecimal(const std::string& text, double* value);

// The value of option `name` as a number from `lo` to `hi` (whole when
// `whole`), or `fallback` when it was not given. False, with `problem` set,
// when it is not one.
bool NumberOption(const Arguments& args, const std::string& name, double lo, double hi, bool whole,
                  double fallback, double* value, std::string* problem);

// The usage lines, printed after a usage mistake.
extern const char kUsage[];

// Prints "tolvane: PROBLEM" and the usage lines on standard error; returns
// kExitUsage.
int Usage(const std::string& problem);

// Writes to standard output, remembering the first failure; FinishOutput
// then says what went wrong in one line and gives the exit code. A reader
// that went away (EPIPE: `| head`) ends the run quietly.
int FinishOutput(int code);
// The errno of a failed write to standard output (or to the pipe encode
// writes to), for FinishOutput.
void NoteOutputError(int error);
// Whether such a write found that its reader had gone (EPIPE): the command
// then ends quietly with its own exit code.
bool OutputReaderGone();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_OPTIONS_H

#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tolvane::tool {

bool Arguments::Parse(int argc, char** argv, std::initializer_list<OptionRule> rules,
                      std::string* problem) {
  auto find = [&](const std::string& name) -> const OptionRule* {
    for (const OptionRule& s : rules) {
      if (name == s.name) return &s;
    }
    return nullptr;
  };
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) operands_.push_back(argv[i]);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      operands_.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionRule* option = find(name);
    if (option == nullptr) {
      *problem = "unknown option " + name;
      return false;
    }
    if (values_.count(name) != 0) {
      *problem = "give " + name + " once";
      return false;
    }
    std::string value;
    if (option->takesValue) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        *problem = name + " needs a value";
        return false;
      }
    } else if (equals != std::string::npos) {
      *problem = name + " takes no value";
      return false;
    }
    values_[name] = value;
  }
  return true;
}

const std::string* Arguments::Value(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

bool ParseDecimal(const std::string& text, double* value) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  std::size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  *value = std::strtod(text.c_str(), nullptr);  // the C locale's point: the tool never sets a locale
  return std::isfinite(*value);
}

bool NumberOption(const Arguments& args, const std::string& name, double lo, double hi, bool whole,
                  double fallback, double* value, std::string* problem) {
  const std::string* text = args.Value(name);
  if (text == nullptr) {
    *value = fallback;
    return true;
  }
  char range[96];
  std::snprintf(range, sizeof range, "%s takes a %s from %.10g to %.10g", name.c_str(),
                whole ? "whole number" : "number", lo, hi);
  if (!ParseDecimal(*text, value) || *value < lo || *value > hi || (whole && *value != std::floor(*value))) {
    *problem = std::string(range) + ", not '" + *text + "'";
    return false;
  }
  return true;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "tolvane: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

namespace {
int outputError = 0;
}  // namespace

void NoteOutputError(int error) {
  if (outputError == 0) outputError = error != 0 ? error : EIO;
}

bool OutputReaderGone() { return outputError == EPIPE; }

int FinishOutput(int code) {
  // A full disk or a closed descriptor shows at the latest here.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) NoteOutputError(errno);
  if (outputError == EPIPE) return code;
  if (outputError != 0) {
    std::fprintf(stderr, "tolvane: standard output: %s\n", std::strerror(outputError));
    return kExitFailed;
  }
  return code;
}

}  // namespace tolvane::tool

#include "KelvoServerAPI.Exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  // Drop namespaces ("std::runtime_error" -> "runtime_error") but keep template arguments whole.
  const auto template_start = name.find('<');
  const auto last_scope = name.rfind("::", template_start);
  if (last_scope != std::string::npos) name.erase(0, last_scope + 2);
  return name;
}

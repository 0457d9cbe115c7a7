#include "app_lib/sys/message.h"

namespace app_lib::sys {

std::string with_cause(std::string_view context, std::string_view cause) {
  std::string message;
  message.reserve(context.size() + cause.size() + 2);
  message += context;
  message += ": ";
  message += cause;
  return message;
}

std::string with_cause(std::string_view context, std::string_view value, std::string_view cause) {
  std::string message;
  message.reserve(context.size() + value.size() + cause.size() + 4);
  message += context;
  message += '(';
  message += value;
  message += "): ";
  message += cause;
  return message;
}

}  // namespace app_lib::sys

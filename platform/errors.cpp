#include "platform/errors.h"

#include "platform/format.h"

namespace kesto {
namespace {

class SystemNumbers : public std::error_category {
 public:
  explicit SystemNumbers(const char* name) : name_(name) {}
  const char* name() const noexcept override { return name_; }
  std::string message(int number) const override { return SystemErrorText(number); }

 private:
  const char* name_;
};

}  // namespace

const std::error_category& SocketCategory() {
  static const SystemNumbers category("socket");
  return category;
}

const std::error_category& FileCategory() {
  static const SystemNumbers category("file");
  return category;
}

}  // namespace kesto

#include <ctime>

#include "tarvex/utils/utils.hpp"

namespace tarvex::utils::utils {

std::string Time::strftime(std::string_view format) const {
  using namespace std::chrono;
  const auto micros = duration_cast<microseconds>(when_.time_since_epoch()).count() % 1000000;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(micros < 0 ? micros + 1000000 : micros));

  // %f is ours; everything else goes to the C library (with %% kept intact).
  std::string expanded;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == 'f') {
        expanded += digits;
      } else {
        expanded += format.substr(i, 2);
      }
      ++i;
    } else {
      expanded += format[i];
    }
  }
  const std::time_t seconds = system_clock::to_time_t(when_);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  std::string out(expanded.size() * 4 + 64, '\0');
  const std::size_t n = std::strftime(out.data(), out.size(), expanded.c_str(), &local);
  out.resize(n);
  return out;
}

Time get_time() { return Time(std::chrono::system_clock::now()); }

}  // namespace tarvex::utils::utils

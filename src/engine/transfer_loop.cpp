#include "engine/transfer_loop.hpp"

#include <algorithm>

#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

namespace {

// The wait between two looks at the transfers, so that the interrupt
// callback runs at least this often.
constexpr int kPollMilliseconds = 100;

// Takes the transfers still in flight out of the multi handle on every way
// out of a run, so that an abort leaves nothing half-done in it.
class InFlight {
 public:
  explicit InFlight(CURLM* multi) : multi_(multi) {}
  ~InFlight() {
    for (Transfer* transfer : transfers_) curl_multi_remove_handle(multi_, transfer->handle());
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

  void add(Transfer* transfer) {
    const CURLMcode code = curl_multi_add_handle(multi_, transfer->handle());
    if (code != CURLM_OK)
      throw RuntimeError(std::string("cannot start a request to the engine: ") + curl_multi_strerror(code));
    transfers_.push_back(transfer);
  }
  void remove(Transfer* transfer) {
    curl_multi_remove_handle(multi_, transfer->handle());
    transfers_.erase(std::find(transfers_.begin(), transfers_.end(), transfer));
  }
  std::size_t size() const { return transfers_.size(); }

 private:
  CURLM* multi_;
  std::vector<Transfer*> transfers_;
};

}  // namespace

TransferLoop::TransferLoop() {
  ensure_curl_initialised();
  multi_ = curl_multi_init();
  if (!multi_) throw RuntimeError("cannot make a curl multi handle");
}

TransferLoop::~TransferLoop() { curl_multi_cleanup(multi_); }

void TransferLoop::run(const std::vector<Transfer*>& transfers, std::size_t parallel,
                       const std::function<void()>& between) {
  InFlight in_flight(multi_);
  std::size_t next = 0;
  const std::size_t limit = std::max<std::size_t>(parallel, 1);
  auto add_more = [&] {
    while (in_flight.size() < limit && next < transfers.size()) in_flight.add(transfers[next++]);
  };
  add_more();
  while (in_flight.size() > 0) {
    int running = 0;
    const CURLMcode code = curl_multi_perform(multi_, &running);
    if (code != CURLM_OK)
      throw RuntimeError(std::string("requests to the engine failed: ") + curl_multi_strerror(code));
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
      const CURLcode result = message->data.result;
      transfer->finish(result);
      in_flight.remove(transfer);
    }
    add_more();
    if (between) between();
    if (in_flight.size() > 0) {
      const CURLMcode waited = curl_multi_poll(multi_, nullptr, 0, kPollMilliseconds, nullptr);
      if (waited != CURLM_OK)
        throw RuntimeError(std::string("waiting for the engine failed: ") + curl_multi_strerror(waited));
    }
  }
}

}  // namespace tarvex::engine

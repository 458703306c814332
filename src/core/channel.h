#pragma once
// An unbounded channel with many senders and one receiver. Each sender's
// events arrive in the order sent; receiving never waits. The receiver can
// tell when no sender is left: everything ever sent is then in its queue.
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorn {

template <class T>
class Channel {
  struct Shared {
    std::mutex mutex;
    std::deque<T> queue;
    bool receiver_alive = true;
    std::size_t senders = 0;  // Sender objects that share this channel
  };

 public:
  class Sender {
   public:
    Sender() = default;
    Sender(const Sender& other) : shared_(other.shared_) { attach(); }
    Sender(Sender&& other) noexcept : shared_(std::move(other.shared_)) {}
    Sender& operator=(Sender other) noexcept {
      shared_.swap(other.shared_);
      return *this;
    }
    ~Sender() { detach(); }

    // Fails (returns false) once the receiving end is gone.
    bool send(T value) const {
      if (!shared_) return false;
      std::lock_guard<std::mutex> lock(shared_->mutex);
      if (!shared_->receiver_alive) return false;
      shared_->queue.push_back(std::move(value));
      return true;
    }

    // Whether the receiving end still exists.
    bool connected() const {
      if (!shared_) return false;
      std::lock_guard<std::mutex> lock(shared_->mutex);
      return shared_->receiver_alive;
    }

   private:
    friend class Channel;
    explicit Sender(std::shared_ptr<Shared> s) : shared_(std::move(s)) { attach(); }
    void attach() {
      if (!shared_) return;
      std::lock_guard<std::mutex> lock(shared_->mutex);
      ++shared_->senders;
    }
    void detach() {
      if (!shared_) return;
      {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        --shared_->senders;
      }
      shared_.reset();
    }
    std::shared_ptr<Shared> shared_;
  };

  class Receiver {
   public:
    Receiver() = default;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
      close();
      shared_ = std::move(other.shared_);
      taken_ = std::move(other.taken_);
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // Whether a Sender of this channel still exists. Once none does, nothing
    // more can arrive: what was sent is all queued (and try_recv hands it out).
    bool has_senders() const {
      if (!shared_) return false;
      std::lock_guard<std::mutex> lock(shared_->mutex);
      return shared_->senders > 0;
    }

    std::optional<T> try_recv() {
      if (!shared_) return std::nullopt;
      // Everything queued is taken in one locked swap, then handed out
      // one by one, so the senders' order is kept and the lock is rare.
      if (taken_.empty()) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        taken_.swap(shared_->queue);
      }
      if (taken_.empty()) return std::nullopt;
      T value = std::move(taken_.front());
      taken_.pop_front();
      return value;
    }

   private:
    friend class Channel;
    explicit Receiver(std::shared_ptr<Shared> s) : shared_(std::move(s)) {}
    void close() {
      if (!shared_) return;
      std::deque<T> dropped;
      {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->receiver_alive = false;
        dropped.swap(shared_->queue);
      }
      shared_.reset();
      taken_.clear();
    }
    std::shared_ptr<Shared> shared_;
    std::deque<T> taken_;
  };

  static std::pair<Sender, Receiver> create() {
    auto shared = std::make_shared<Shared>();
    return {Sender(shared), Receiver(shared)};
  }
};

}  // namespace vorn

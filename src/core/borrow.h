#pragma once
// A value that one piece of code at a time may use. A second borrow while
// one is held is a programming error, raised as a failure, never waited for.
#include <utility>

#include "core/crash_guard.h"

namespace vorn {

template <class T>
class BorrowCell {
 public:
  template <class... Args>
  explicit BorrowCell(Args&&... args) : value_(std::forward<Args>(args)...) {}
  BorrowCell(const BorrowCell&) = delete;
  BorrowCell& operator=(const BorrowCell&) = delete;

  class Guard {
   public:
    explicit Guard(BorrowCell& cell) : cell_(&cell) { cell.borrowed_ = true; }
    Guard(Guard&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (cell_) cell_->borrowed_ = false;
    }
    T& operator*() const { return cell_->value_; }
    T* operator->() const { return &cell_->value_; }

   private:
    BorrowCell* cell_;
  };

  Guard borrow(SourceLocation where = SourceLocation::current()) {
    if (borrowed_) raise_failure("already borrowed: BorrowMutError", where);
    return Guard(*this);
  }
  bool is_borrowed() const { return borrowed_; }

 private:
  T value_;
  bool borrowed_ = false;
};

}  // namespace vorn

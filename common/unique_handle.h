// One owner for every kind of handle the system opens, so each path out of a
// function closes what it opened. `Traits` names the handle's type, the value
// that means none, and how one is closed:
//
//   struct Traits {
//     using Handle = ...;
//     static constexpr Handle kNone = ...;
//     static void close(Handle handle);
//   };
#ifndef VELUNOR_COMMON_UNIQUE_HANDLE_H_
#define VELUNOR_COMMON_UNIQUE_HANDLE_H_

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (valid()) Traits::close(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const { return handle_; }
  // For the calls that hand a new handle out through a pointer; only while
  // nothing is owned yet.
  Handle* receive() { return &handle_; }
  bool valid() const { return handle_ != Traits::kNone; }
  explicit operator bool() const { return valid(); }

 private:
  Handle handle_ = Traits::kNone;
};

#endif  // VELUNOR_COMMON_UNIQUE_HANDLE_H_

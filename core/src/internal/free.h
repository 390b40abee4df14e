// Free<Fn> is the deleter of an owning handle whose C library frees it with
// Fn: std::unique_ptr<T, Free<T_free>>.
#pragma once

namespace velna::internal {

template <auto Fn>
struct Free {
  template <typename T>
  void operator()(T* p) const {
    Fn(p);
  }
};

}  // namespace velna::internal

// Runs a callable when the scope ends, also when a coroutine is destroyed mid-wait (a held
// request whose client went away): the routes release holds and waiters with it.
#pragma once

namespace korvane::coordinator {

template <class F>
struct ScopeExit {
  F f;
  ~ScopeExit() { f(); }
};
template <class F>
ScopeExit(F) -> ScopeExit<F>;

}  // namespace korvane::coordinator

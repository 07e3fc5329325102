// Process-wide settings a test changes are put back when its scope ends, also when a failed
// assertion leaves the test early, so that no setting leaks into the next test.
#pragma once
#include <functional>
#include <utility>

namespace testsupport {

// For a setter that returns the value it replaced: ScopedSetting<int> limit(SetTransportStallLimit,
// 300).
template <typename Value, typename Arg = Value> class ScopedSetting {
  public:
    using Setter = Value (*)(Arg);
    ScopedSetting(Setter set, Value value) : set_(set), previous_(set(std::move(value))) {}
    ~ScopedSetting() { set_(previous_); }
    ScopedSetting(const ScopedSetting&) = delete;
    ScopedSetting& operator=(const ScopedSetting&) = delete;

  private:
    Setter set_;
    Value previous_;
};

// For a setter that does not: the undo runs at the end of the scope.
class OnExit {
  public:
    explicit OnExit(std::function<void()> undo) : undo_(std::move(undo)) {}
    ~OnExit() { undo_(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

  private:
    std::function<void()> undo_;
};

} // namespace testsupport

#pragma once
// A thread's "current" pointer (the run, the VNet lane, the held log lines) set for a scope's
// lifetime; the value it had comes back when the scope ends, so scopes nest.

namespace dm {

template <class T>
class ThreadScope {
  public:
    ThreadScope(T*& slot, T& value) : slot_(slot), previous_(slot) { slot_ = &value; }
    ~ThreadScope() { slot_ = previous_; }
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

  private:
    T*& slot_;  // the thread's own variable, bound on the thread that made the scope
    T* previous_;
};

}  // namespace dm

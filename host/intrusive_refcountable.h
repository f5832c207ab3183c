// Intrusive reference count for ACE_Intrusive_Auto_Ptr<T>: T derives from
// ACE_Intrusive_Refcountable_T<T, Lock> and gets the static
// intrusive_add_ref / intrusive_remove_ref that the pointer calls.
#ifndef HOST_INTRUSIVE_REFCOUNTABLE_H
#define HOST_INTRUSIVE_REFCOUNTABLE_H

#include <atomic>

// Lock is kept for the type's name only: the count is a lock-free atomic.
// A new object holds `initial` references (0: the first smart pointer made
// with add_ref true owns it; 1: made with add_ref false).
template <class T, class Lock>
class ACE_Intrusive_Refcountable_T {
public:
    static void intrusive_add_ref(T* p) {
        if (p)
            base(p)->refcount_.fetch_add(1, std::memory_order_relaxed);
    }

    // Drops one reference unless the count is already 0; the thread that
    // takes it to 0 destroys the object (once, whatever the races).
    static void intrusive_remove_ref(T* p) {
        if (!p)
            return;
        std::atomic<long>& count = base(p)->refcount_;
        long cur = count.load(std::memory_order_relaxed);
        do {
            if (cur <= 0)
                return;
        } while (!count.compare_exchange_weak(cur, cur - 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
        if (cur == 1)
            delete p;
    }

    long refcount() const { return refcount_.load(std::memory_order_acquire); }

protected:
    explicit ACE_Intrusive_Refcountable_T(long initial = 0) : refcount_(initial) {}
    virtual ~ACE_Intrusive_Refcountable_T() {}

    ACE_Intrusive_Refcountable_T(const ACE_Intrusive_Refcountable_T&) = delete;
    ACE_Intrusive_Refcountable_T& operator=(const ACE_Intrusive_Refcountable_T&) = delete;

private:
    static ACE_Intrusive_Refcountable_T* base(T* p) { return p; }

    std::atomic<long> refcount_;
};

#endif

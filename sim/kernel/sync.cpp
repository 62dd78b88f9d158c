// What is built on the scheduler (sched.cpp): semaphores, completions, the big kernel lock,
// msleep, and spin locks.
// (the futex operations are spelled out: the kernel headers here shadow the system ones)
#include <sys/syscall.h>
#include <unistd.h>

#include "internal.hpp"

using namespace simk::detail;

extern "C" {

// ---- Semaphores --------------------------------------------------------------------------------

void sema_init(struct semaphore* sem, int val) {
    sem->count = val;
    init_waitqueue_head(&sem->wait);
}

static int down_common(struct semaphore* sem, int state) {
    wait_queue_t wait{};
    init_waitqueue_entry(&wait, get_current());
    wait.flags = WQ_FLAG_EXCLUSIVE;
    TaskState* me = current_task();
    bool queued = false;
    for (;;) {
        {
            std::lock_guard lock(sched_lock());
            if (sem->count > 0) {
                --sem->count;
                if (queued) list_del(&wait.task_list);
                me->ts.state = TASK_RUNNING;
                return 0;
            }
            if (state == TASK_INTERRUPTIBLE && task_signal_pending(me)) {
                if (queued) list_del(&wait.task_list);
                me->ts.state = TASK_RUNNING;
                return -EINTR;
            }
            if (!queued) {
                list_add_tail(&wait.task_list, &sem->wait.task_list);
                queued = true;
            }
            me->ts.state = state;
        }
        schedule();
    }
}

void down(struct semaphore* sem) {
    down_common(sem, TASK_UNINTERRUPTIBLE);
}

int down_interruptible(struct semaphore* sem) {
    return down_common(sem, TASK_INTERRUPTIBLE);
}

int down_trylock(struct semaphore* sem) {
    std::lock_guard lock(sched_lock());
    if (sem->count > 0) {
        --sem->count;
        return 0;
    }
    return 1;
}

void up(struct semaphore* sem) {
    std::lock_guard lock(sched_lock());
    ++sem->count;
    __wake_up(&sem->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, nullptr);
}

// ---- Completions -------------------------------------------------------------------------------

void init_completion(struct completion* x) {
    x->done = 0;
    init_waitqueue_head(&x->wait);
}

static long wait_for_common(struct completion* x, long timeout, int state) {
    wait_queue_t wait{};
    init_waitqueue_entry(&wait, get_current());
    wait.flags = WQ_FLAG_EXCLUSIVE;
    TaskState* me = current_task();
    bool queued = false;
    for (;;) {
        {
            std::lock_guard lock(sched_lock());
            if (x->done > 0) {
                --x->done;
                if (queued) list_del(&wait.task_list);
                me->ts.state = TASK_RUNNING;
                return timeout == 0 ? 1 : timeout;
            }
            if (state == TASK_INTERRUPTIBLE && task_signal_pending(me)) {
                if (queued) list_del(&wait.task_list);
                me->ts.state = TASK_RUNNING;
                return -ERESTARTSYS;
            }
            if (timeout == 0) {
                if (queued) list_del(&wait.task_list);
                me->ts.state = TASK_RUNNING;
                return 0;
            }
            if (!queued) {
                list_add_tail(&wait.task_list, &x->wait.task_list);
                queued = true;
            }
            me->ts.state = state;
        }
        timeout = schedule_timeout(timeout);
    }
}

void wait_for_completion(struct completion* x) {
    wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_UNINTERRUPTIBLE);
}

int wait_for_completion_interruptible(struct completion* x) {
    const long t = wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_INTERRUPTIBLE);
    return t == -ERESTARTSYS ? static_cast<int>(t) : 0;
}

unsigned long wait_for_completion_timeout(struct completion* x, unsigned long timeout) {
    const long t = wait_for_common(x, static_cast<long>(timeout), TASK_UNINTERRUPTIBLE);
    return t < 0 ? 0 : static_cast<unsigned long>(t);
}

void complete(struct completion* x) {
    std::lock_guard lock(sched_lock());
    ++x->done;
    __wake_up(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, nullptr);
}

void complete_all(struct completion* x) {
    std::lock_guard lock(sched_lock());
    x->done += UINT_MAX / 2;
    __wake_up(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 0, nullptr);
}

// ---- The big kernel lock -----------------------------------------------------------------------

void lock_kernel(void) {
    TaskState* me = current_task();
    if (me->bkl_depth++ == 0) bkl().lock();
}

void unlock_kernel(void) {
    TaskState* me = current_task();
    if (me->bkl_depth <= 0) {
        printk(KERN_ERR "unlock_kernel: lock not held\n");
        return;
    }
    if (--me->bkl_depth == 0) bkl().unlock();
}

int kernel_locked(void) {
    return current_task()->bkl_depth > 0;
}

// ---- Sleeps ------------------------------------------------------------------------------------

void msleep(unsigned int msecs) {
    long timeout = static_cast<long>(msecs_to_jiffies(msecs)) + 1;
    while (timeout) timeout = schedule_timeout_uninterruptible(timeout);
}

unsigned long msleep_interruptible(unsigned int msecs) {
    long timeout = static_cast<long>(msecs_to_jiffies(msecs)) + 1;
    while (timeout && !signal_pending(get_current())) {
        timeout = schedule_timeout_interruptible(timeout);
    }
    return jiffies_to_msecs(static_cast<unsigned long>(timeout));
}

// ---- Spin locks --------------------------------------------------------------------------------
// A futex lock: 0 free, 1 held, 2 held with waiters.

constexpr int kFutexWaitPrivate = 128;  // FUTEX_WAIT | FUTEX_PRIVATE_FLAG
constexpr int kFutexWakePrivate = 129;  // FUTEX_WAKE | FUTEX_PRIVATE_FLAG

static long futex(volatile int* addr, int op, int val) {
    return ::syscall(SYS_futex, const_cast<int*>(addr), op, val, nullptr, nullptr, 0);
}

void __simk_spin_lock(spinlock_t* lock) {
    int c = 0;
    if (__atomic_compare_exchange_n(&lock->lock, &c, 1, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
        return;
    }
    if (c != 2) c = __atomic_exchange_n(&lock->lock, 2, __ATOMIC_ACQUIRE);
    while (c != 0) {
        futex(&lock->lock, kFutexWaitPrivate, 2);
        c = __atomic_exchange_n(&lock->lock, 2, __ATOMIC_ACQUIRE);
    }
}

void __simk_spin_unlock(spinlock_t* lock) {
    if (__atomic_exchange_n(&lock->lock, 0, __ATOMIC_RELEASE) == 2) {
        futex(&lock->lock, kFutexWakePrivate, 1);
    }
}

int __simk_spin_trylock(spinlock_t* lock) {
    int c = 0;
    return __atomic_compare_exchange_n(&lock->lock, &c, 1, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED)
               ? 1
               : 0;
}

}  // extern "C"

// Tasks, sleeping and waking: current, schedule(), wait queues and the sleeps on them. The
// locks and the waits built on these (semaphores, completions, the big kernel lock, msleep,
// spin locks) are in sync.cpp.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "internal.hpp"

namespace simk::detail {

std::recursive_mutex& sched_lock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

namespace {

// Every task that a thread has been, for interrupt_task(); under sched_lock.
std::set<TaskState*>& all_tasks() {
    static auto* tasks = new std::set<TaskState*>;
    return *tasks;
}

std::string comm_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

void set_comm(TaskState* t, const std::string& comm) {
    std::snprintf(t->ts.comm, sizeof t->ts.comm, "%s", comm.c_str());
}

struct ThreadTask {
    std::unique_ptr<TaskState> task;
    ~ThreadTask() {
        if (task) {
            std::lock_guard lock(sched_lock());
            all_tasks().erase(task.get());
        }
    }
};

TaskState* thread_task() {
    thread_local ThreadTask holder;
    if (!holder.task) {
        holder.task = std::make_unique<TaskState>();
        TaskState* t = holder.task.get();
        t->ts.__simk_task = t;
        t->ts.state = TASK_RUNNING;
        t->ts.pid = t->ts.tgid = ::getpid();
        set_comm(t, comm_of(::getpid()));
        std::lock_guard lock(sched_lock());
        all_tasks().insert(t);
    }
    return holder.task.get();
}

TaskState* idle_task() {
    static TaskState* idle = [] {
        auto* t = new TaskState;
        t->ts.__simk_task = t;
        t->ts.pid = 0;
        t->idle = true;
        set_comm(t, "swapper");
        return t;
    }();
    return idle;
}

}  // namespace

std::mutex& bkl() {
    static std::mutex* m = new std::mutex;
    return *m;
}

TaskState* current_task() {
    if (context().in_interrupt) return idle_task();
    return thread_task();
}

TaskState* task_of(struct task_struct* t) {
    return static_cast<TaskState*>(t->__simk_task);
}

bool task_signal_pending(TaskState* t) {
    std::lock_guard lock(sched_lock());
    return t->sigpending || (t->file != nullptr && t->file->interrupted.load());
}

TaskScope::TaskScope(pid_t pid, OpenFile* file, const char* comm) : task_(thread_task()) {
    std::lock_guard lock(sched_lock());
    saved_file_ = task_->file;
    saved_pid_ = task_->ts.pid;
    std::memcpy(saved_comm_, task_->ts.comm, sizeof saved_comm_);
    if (task_->ts.pid != pid || comm != nullptr) {
        task_->ts.pid = task_->ts.tgid = pid;
        set_comm(task_, comm != nullptr ? std::string(comm) : comm_of(pid));
    }
    task_->file = file;
    task_->sigpending = false;
    task_->ts.state = TASK_RUNNING;
}

TaskScope::~TaskScope() {
    // Back to user space: interrupts on again, as the return path of a system call leaves them,
    // and no big kernel lock held.
    ThreadContext& ctx = context();
    if (ctx.irqs_off) {
        printk(KERN_ERR "BUG: %s/%d returned with interrupts off\n", task_->ts.comm, task_->ts.pid);
        __simk_local_irq_enable();
    }
    if (task_->bkl_depth > 0) {
        printk(KERN_ERR "BUG: %s/%d returned with the kernel lock held\n", task_->ts.comm,
               task_->ts.pid);
        task_->bkl_depth = 1;
        unlock_kernel();
    }
    std::lock_guard lock(sched_lock());
    task_->file = saved_file_;
    task_->ts.pid = task_->ts.tgid = saved_pid_;
    std::memcpy(task_->ts.comm, saved_comm_, sizeof saved_comm_);
}

void reset_tasks() {
    std::lock_guard lock(sched_lock());
    for (TaskState* t : all_tasks()) t->sigpending = false;
}

void interrupt_file(OpenFile* f) {
    std::lock_guard lock(sched_lock());
    f->interrupted.store(true);
    for (TaskState* t : all_tasks()) {
        if (t->file == f) t->wake.notify_all();
    }
}

void bkl_release_for_sleep(TaskState* t) {
    if (t->bkl_depth > 0) bkl().unlock();
}

void bkl_reacquire_after_sleep(TaskState* t) {
    if (t->bkl_depth > 0) bkl().lock();
}

}  // namespace simk::detail

using namespace simk::detail;

namespace simk {

void interrupt_task(pid_t pid) {
    std::lock_guard lock(sched_lock());
    for (TaskState* t : all_tasks()) {
        if (t->ts.pid == pid) {
            t->sigpending = true;
            t->wake.notify_all();
        }
    }
}

void dev_interrupt(OpenFile* f) {
    interrupt_file(f);
}

bool sleep_interruptible(std::chrono::nanoseconds duration) {
    const long ticks = static_cast<long>((duration + kTick - std::chrono::nanoseconds(1)) / kTick);
    long left = ticks + 1;
    while (left > 0) {
        __simk_set_current_state(TASK_INTERRUPTIBLE);
        left = schedule_timeout(left);
        if (signal_pending(get_current())) return false;
    }
    return true;
}

}  // namespace simk

extern "C" {

struct task_struct* get_current(void) {
    return &current_task()->ts;
}

void __simk_set_current_state(long state) {
    std::lock_guard lock(sched_lock());
    current_task()->ts.state = state;
}

int signal_pending(struct task_struct* p) {
    return task_signal_pending(task_of(p)) ? 1 : 0;
}

int capable(int) {
    return 1;
}

// Sleeps until the task is woken (state back to TASK_RUNNING), a signal arrives for an
// interruptible sleep, or `deadline` passes. Gives up the processor and the big kernel lock for
// the time of the sleep.
static void sleep_current(TaskState* me, const Clock::time_point* deadline) {
    if (me->idle || context().in_interrupt) {
        printk(KERN_ERR "BUG: scheduling while atomic\n");
        dump_stack();
        std::lock_guard lock(sched_lock());
        me->ts.state = TASK_RUNNING;
        return;
    }
    CpuLock& lock_cpu = cpu();
    const bool held = lock_cpu.held_by_me();
    const int depth = held ? lock_cpu.release_all() : 0;
    bkl_release_for_sleep(me);
    {
        std::unique_lock lock(sched_lock());
        while (me->ts.state != TASK_RUNNING) {
            if (me->ts.state == TASK_INTERRUPTIBLE &&
                (me->sigpending || (me->file != nullptr && me->file->interrupted.load()))) {
                me->ts.state = TASK_RUNNING;
                break;
            }
            if (deadline == nullptr) {
                me->wake.wait(lock);
            } else if (me->wake.wait_until(lock, *deadline) == std::cv_status::timeout &&
                       Clock::now() >= *deadline) {
                me->ts.state = TASK_RUNNING;
                break;
            }
        }
    }
    bkl_reacquire_after_sleep(me);
    if (held) lock_cpu.reacquire(depth);
}

void schedule(void) {
    sleep_current(current_task(), nullptr);
}

signed long schedule_timeout(signed long timeout) {
    TaskState* me = current_task();
    if (timeout == MAX_SCHEDULE_TIMEOUT) {
        sleep_current(me, nullptr);
        return timeout;
    }
    if (timeout < 0) {
        printk(KERN_ERR "schedule_timeout: wrong timeout value %lx\n", timeout);
        std::lock_guard lock(sched_lock());
        me->ts.state = TASK_RUNNING;
        return 0;
    }
    const unsigned long expire = __simk_jiffies() + static_cast<unsigned long>(timeout);
    const Clock::time_point deadline = time_of_jiffy(expire);
    sleep_current(me, &deadline);
    const long left = static_cast<long>(expire - __simk_jiffies());
    return left < 0 ? 0 : left;
}

signed long schedule_timeout_interruptible(signed long timeout) {
    __simk_set_current_state(TASK_INTERRUPTIBLE);
    return schedule_timeout(timeout);
}

signed long schedule_timeout_uninterruptible(signed long timeout) {
    __simk_set_current_state(TASK_UNINTERRUPTIBLE);
    return schedule_timeout(timeout);
}

static int try_to_wake_up(struct task_struct* p, unsigned int state) {
    std::lock_guard lock(sched_lock());
    if ((p->state & static_cast<long>(state)) == 0) return 0;
    p->state = TASK_RUNNING;
    task_of(p)->wake.notify_all();
    return 1;
}

int wake_up_process(struct task_struct* tsk) {
    return try_to_wake_up(tsk, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE | TASK_STOPPED);
}

void yield(void) {
    std::this_thread::yield();
}

int cond_resched(void) {
    return 0;
}

// ---- Wait queues -------------------------------------------------------------------------------

static void* waiter_task(wait_queue_t* wait) {
    return wait->private_;
}

int default_wake_function(wait_queue_t* wait, unsigned mode, int, void*) {
    return try_to_wake_up(static_cast<struct task_struct*>(waiter_task(wait)), mode);
}

int autoremove_wake_function(wait_queue_t* wait, unsigned mode, int sync, void* key) {
    const int ret = default_wake_function(wait, mode, sync, key);
    if (ret) list_del_init(&wait->task_list);
    return ret;
}

void init_waitqueue_head(wait_queue_head_t* q) {
    spin_lock_init(&q->lock);
    INIT_LIST_HEAD(&q->task_list);
}

void init_waitqueue_entry(wait_queue_t* q, struct task_struct* p) {
    q->flags = 0;
    q->private_ = p;
    q->func = default_wake_function;
}

void add_wait_queue(wait_queue_head_t* q, wait_queue_t* wait) {
    std::lock_guard lock(sched_lock());
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    list_add(&wait->task_list, &q->task_list);
}

void add_wait_queue_exclusive(wait_queue_head_t* q, wait_queue_t* wait) {
    std::lock_guard lock(sched_lock());
    wait->flags |= WQ_FLAG_EXCLUSIVE;
    list_add_tail(&wait->task_list, &q->task_list);
}

void remove_wait_queue(wait_queue_head_t*, wait_queue_t* wait) {
    std::lock_guard lock(sched_lock());
    if (wait->task_list.next != nullptr) list_del(&wait->task_list);
}

void __wake_up(wait_queue_head_t* q, unsigned int mode, int nr_exclusive, void* key) {
    std::lock_guard lock(sched_lock());
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &q->task_list) {
        wait_queue_t* curr = list_entry(pos, wait_queue_t, task_list);
        const unsigned flags = curr->flags;
        if (curr->func(curr, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr_exclusive) {
            break;
        }
    }
}

void __wake_up_sync(wait_queue_head_t* q, unsigned int mode, int nr_exclusive) {
    __wake_up(q, mode, nr_exclusive, nullptr);
}

void prepare_to_wait(wait_queue_head_t* q, wait_queue_t* wait, int state) {
    std::lock_guard lock(sched_lock());
    wait->flags &= ~WQ_FLAG_EXCLUSIVE;
    if (list_empty(&wait->task_list)) list_add(&wait->task_list, &q->task_list);
    current_task()->ts.state = state;
}

void prepare_to_wait_exclusive(wait_queue_head_t* q, wait_queue_t* wait, int state) {
    std::lock_guard lock(sched_lock());
    wait->flags |= WQ_FLAG_EXCLUSIVE;
    if (list_empty(&wait->task_list)) list_add_tail(&wait->task_list, &q->task_list);
    current_task()->ts.state = state;
}

void finish_wait(wait_queue_head_t*, wait_queue_t* wait) {
    std::lock_guard lock(sched_lock());
    current_task()->ts.state = TASK_RUNNING;
    if (!list_empty(&wait->task_list)) list_del_init(&wait->task_list);
}

static long sleep_on_common(wait_queue_head_t* q, int state, long timeout) {
    wait_queue_t wait{};
    init_waitqueue_entry(&wait, get_current());
    {
        std::lock_guard lock(sched_lock());
        current_task()->ts.state = state;
        list_add(&wait.task_list, &q->task_list);
    }
    timeout = schedule_timeout(timeout);
    remove_wait_queue(q, &wait);
    return timeout;
}

void sleep_on(wait_queue_head_t* q) {
    sleep_on_common(q, TASK_UNINTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
}

long sleep_on_timeout(wait_queue_head_t* q, signed long timeout) {
    return sleep_on_common(q, TASK_UNINTERRUPTIBLE, timeout);
}

void interruptible_sleep_on(wait_queue_head_t* q) {
    sleep_on_common(q, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
}

long interruptible_sleep_on_timeout(wait_queue_head_t* q, signed long timeout) {
    return sleep_on_common(q, TASK_INTERRUPTIBLE, timeout);
}

}  // extern "C"

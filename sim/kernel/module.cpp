// Loadable modules: insmod (dlopen, parameters, init_module), rmmod, module reference counts and
// the module parameter types.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "internal.hpp"

namespace simk::detail {

namespace {

struct Loaded {
    std::string name;
    void* handle = nullptr;
    struct module* mod = nullptr;  // the module's __this_module, when it has one
    void (*cleanup)() = nullptr;
    std::vector<std::unique_ptr<char[]>> strings;  // values of charp parameters
};

std::recursive_mutex& module_mutex() {
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}

std::vector<std::unique_ptr<Loaded>>& modules() {
    static auto* m = new std::vector<std::unique_ptr<Loaded>>;
    return *m;
}

// The charp parameter being set belongs to this module (param_set_charp keeps the string).
Loaded* loading = nullptr;

std::string module_name_of(const std::string& path) {
    std::string name = std::filesystem::path(path).filename().string();
    for (const char* suffix : {".so", ".ko"}) {
        const size_t n = std::strlen(suffix);
        if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) {
            name.resize(name.size() - n);
        }
    }
    return name;
}

// A symbol of the module itself (dlsym also searches the libraries it depends on, and the C
// library has an init_module of its own).
void* own_symbol(void* handle, const std::string& name) {
    void* sym = dlsym(handle, name.c_str());
    if (sym == nullptr || !module_owns(handle, sym)) return nullptr;
    return sym;
}

void sweep(Loaded& m) {
    sweep_timers(m.handle, m.name.c_str());
    sweep_irqs(m.handle, m.name.c_str());
    sweep_chrdevs(m.handle, m.name.c_str());
    sweep_resources(m.handle, m.name.c_str());
}

void unload(std::unique_ptr<Loaded> m) {
    sweep(*m);
    dlclose(m->handle);
}

int apply_param(Loaded& m, const std::string& param, std::string& error) {
    const size_t eq = param.find('=');
    const std::string name = param.substr(0, eq);
    const std::string symbol = "__param_" + name;
    auto* kp = static_cast<struct kernel_param*>(own_symbol(m.handle, symbol));
    if (kp == nullptr || name.empty()) {
        error = m.name + ": Unknown parameter `" + name + "'";
        printk(KERN_ERR "%s\n", error.c_str());
        return -ENOENT;
    }
    const char* value = eq == std::string::npos ? nullptr : param.c_str() + eq + 1;
    loading = &m;
    const int r = kp->set(value, kp);
    loading = nullptr;
    if (r != 0) {
        error = m.name + ": `" + (value != nullptr ? value : "") + "' invalid for parameter `" +
                name + "'";
        printk(KERN_ERR "%s\n", error.c_str());
        return r;
    }
    return 0;
}

}  // namespace

bool module_owns(void* module_handle, const void* address) {
    if (address == nullptr) return false;
    Dl_info info{};
    struct link_map* map = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
        return false;
    }
    struct link_map* own = nullptr;
    if (dlinfo(module_handle, RTLD_DI_LINKMAP, &own) != 0) return false;
    return map == own;
}

}  // namespace simk::detail

using namespace simk::detail;

namespace simk {

int insmod(const std::string& so_path, const std::vector<std::string>& params, std::string& error) {
    std::lock_guard lock(module_mutex());
    const std::string name = module_name_of(so_path);
    for (const auto& m : modules()) {
        if (m->name == name) {
            error = "insmod: " + name + ": module is already loaded";
            return -EEXIST;
        }
    }
    auto m = std::make_unique<Loaded>();
    m->name = name;
    m->handle = dlopen(so_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m->handle == nullptr) {
        const char* why = dlerror();
        error = "insmod: " + so_path + ": " + (why != nullptr ? why : "cannot load");
        printk(KERN_ERR "%s\n", error.c_str());
        return -ENOEXEC;
    }
    m->mod = static_cast<struct module*>(own_symbol(m->handle, "__this_module"));
    if (m->mod != nullptr) {
        std::snprintf(m->mod->name, sizeof m->mod->name, "%s", name.c_str());
        atomic_set(&m->mod->refcount, 0);
        m->mod->state = MODULE_STATE_COMING;
        m->mod->__simk = m.get();
    }
    m->cleanup = reinterpret_cast<void (*)()>(own_symbol(m->handle, "cleanup_module"));
    auto init = reinterpret_cast<int (*)()>(own_symbol(m->handle, "init_module"));
    for (const auto& p : params) {
        const int r = apply_param(*m, p, error);
        if (r != 0) {
            dlclose(m->handle);
            return r < 0 ? r : -EINVAL;
        }
    }
    int r = 0;
    {
        TaskScope scope(::getpid(), nullptr, "insmod");
        if (init != nullptr) r = init();
    }
    if (r < 0) {
        error = "insmod: error inserting '" + so_path + "': " + std::to_string(r) + " " +
                std::strerror(-r);
        printk(KERN_WARNING "%s\n", error.c_str());
        unload(std::move(m));
        return r;
    }
    if (r > 0) {
        printk(KERN_WARNING "%s: init returned %d, it should follow the 0/-E convention\n",
               name.c_str(), r);
    }
    if (m->mod != nullptr) m->mod->state = MODULE_STATE_LIVE;
    modules().push_back(std::move(m));
    return 0;
}

int rmmod(const std::string& module_name) {
    std::lock_guard lock(module_mutex());
    auto& list = modules();
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const auto& m) { return m->name == module_name; });
    if (it == list.end()) return -ENOENT;
    Loaded& m = **it;
    if (m.mod != nullptr && atomic_read(&m.mod->refcount) > 0) {
        printk(KERN_WARNING "rmmod: %s is in use\n", module_name.c_str());
        return -EBUSY;
    }
    if (m.cleanup == nullptr) {
        printk(KERN_WARNING "rmmod: %s has no exit function and cannot be removed\n",
               module_name.c_str());
        return -EBUSY;
    }
    if (m.mod != nullptr) m.mod->state = MODULE_STATE_GOING;
    {
        TaskScope scope(::getpid(), nullptr, "rmmod");
        m.cleanup();
    }
    std::unique_ptr<Loaded> owned = std::move(*it);
    list.erase(it);
    unload(std::move(owned));
    return 0;
}

std::vector<std::string> loaded_modules() {
    std::lock_guard lock(module_mutex());
    std::vector<std::string> names;
    for (const auto& m : modules()) names.push_back(m->name);
    return names;
}

}  // namespace simk

namespace {

template <typename T>
int set_number(const char* val, struct kernel_param* kp, bool is_signed) {
    if (val == nullptr || *val == '\0') return -EINVAL;
    char* end = nullptr;
    const long long v = is_signed ? simple_strtoll(val, &end, 0)
                                  : static_cast<long long>(simple_strtoull(val, &end, 0));
    if (*end != '\0' && !(*end == '\n' && end[1] == '\0')) return -EINVAL;
    if (!is_signed && *val == '-') return -EINVAL;
    const T converted = static_cast<T>(v);
    if (static_cast<long long>(converted) != v && !(sizeof(T) == 8)) return -EINVAL;
    *static_cast<T*>(kp->arg) = converted;
    return 0;
}

template <typename T>
int get_number(char* buffer, struct kernel_param* kp, const char* fmt) {
    return std::sprintf(buffer, fmt, *static_cast<T*>(kp->arg));
}

}  // namespace

// ---- The kernel API ----------------------------------------------------------------------------

extern "C" {

int try_module_get(struct module* module) {
    if (module == nullptr) return 1;
    if (module->state == MODULE_STATE_GOING) return 0;
    atomic_inc(&module->refcount);
    return 1;
}

void module_put(struct module* module) {
    if (module != nullptr) atomic_dec(&module->refcount);
}

unsigned int module_refcount(struct module* mod) {
    return static_cast<unsigned>(atomic_read(&mod->refcount));
}

// ---- Parameter types ---------------------------------------------------------------------------

int param_set_short(const char* val, struct kernel_param* kp) {
    return set_number<short>(val, kp, true);
}
int param_get_short(char* b, struct kernel_param* kp) {
    return get_number<short>(b, kp, "%hi");
}
int param_set_ushort(const char* val, struct kernel_param* kp) {
    return set_number<unsigned short>(val, kp, false);
}
int param_get_ushort(char* b, struct kernel_param* kp) {
    return get_number<unsigned short>(b, kp, "%hu");
}
int param_set_int(const char* val, struct kernel_param* kp) {
    return set_number<int>(val, kp, true);
}
int param_get_int(char* b, struct kernel_param* kp) {
    return get_number<int>(b, kp, "%i");
}
int param_set_uint(const char* val, struct kernel_param* kp) {
    return set_number<unsigned int>(val, kp, false);
}
int param_get_uint(char* b, struct kernel_param* kp) {
    return get_number<unsigned int>(b, kp, "%u");
}
int param_set_long(const char* val, struct kernel_param* kp) {
    return set_number<long>(val, kp, true);
}
int param_get_long(char* b, struct kernel_param* kp) {
    return get_number<long>(b, kp, "%li");
}
int param_set_ulong(const char* val, struct kernel_param* kp) {
    return set_number<unsigned long>(val, kp, false);
}
int param_get_ulong(char* b, struct kernel_param* kp) {
    return get_number<unsigned long>(b, kp, "%lu");
}

int param_set_charp(const char* val, struct kernel_param* kp) {
    if (val == nullptr) return -EINVAL;
    const size_t len = std::strlen(val);
    if (len > 1024) return -ENOSPC;
    auto copy = std::make_unique<char[]>(len + 1);
    std::memcpy(copy.get(), val, len + 1);
    *static_cast<char**>(kp->arg) = copy.get();
    if (loading != nullptr)
        loading->strings.push_back(std::move(copy));
    else
        copy.release();  // set outside insmod: lives as long as the process
    return 0;
}

int param_get_charp(char* buffer, struct kernel_param* kp) {
    return std::sprintf(buffer, "%s", *static_cast<char**>(kp->arg));
}

static int parse_bool(const char* val, int* out) {
    if (val == nullptr) {
        *out = 1;
        return 0;
    }
    switch (val[0]) {
        case 'y':
        case 'Y':
        case '1':
            *out = 1;
            return 0;
        case 'n':
        case 'N':
        case '0':
            *out = 0;
            return 0;
        default:
            return -EINVAL;
    }
}

int param_set_bool(const char* val, struct kernel_param* kp) {
    return parse_bool(val, static_cast<int*>(kp->arg));
}

int param_get_bool(char* buffer, struct kernel_param* kp) {
    return std::sprintf(buffer, "%c", *static_cast<int*>(kp->arg) ? 'Y' : 'N');
}

int param_set_invbool(const char* val, struct kernel_param* kp) {
    int v = 0;
    const int r = parse_bool(val, &v);
    if (r == 0) *static_cast<int*>(kp->arg) = !v;
    return r;
}

int param_get_invbool(char* buffer, struct kernel_param* kp) {
    return std::sprintf(buffer, "%c", *static_cast<int*>(kp->arg) ? 'N' : 'Y');
}

}  // extern "C"

/* Loadable modules. A module is a shared object: insmod loads it, applies
 * its parameters and calls init_module, which module_init() makes an alias
 * of the module's init function, as the kernel does; rmmod calls
 * cleanup_module (module_exit()) and unloads it. */
#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/stat.h>
#include <linux/stringify.h>
#include <linux/moduleparam.h>
#include <asm/atomic.h>

__SIMK_BEGIN_DECLS

#define MODULE_NAME_LEN 60

struct module {
	char name[MODULE_NAME_LEN];
	atomic_t refcount;	/* open files and other users */
	int state;		/* MODULE_STATE_* */
	void *__simk;
};

#define MODULE_STATE_LIVE 0
#define MODULE_STATE_COMING 1
#define MODULE_STATE_GOING 2

int try_module_get(struct module *module);
void module_put(struct module *module);
#define __module_get(m) ((void)try_module_get(m))
unsigned int module_refcount(struct module *mod);

#ifdef MODULE
/* One per module: every file of the module refers to the same one. */
__attribute__((weak)) struct module __this_module;
#define THIS_MODULE (&__this_module)

#define module_init(initfn) \
	static inline initcall_t __inittest(void) { return initfn; } \
	int init_module(void) __attribute__((alias(#initfn)));

#define module_exit(exitfn) \
	static inline exitcall_t __exittest(void) { return exitfn; } \
	void cleanup_module(void) __attribute__((alias(#exitfn)));
#else
#define THIS_MODULE ((struct module *)0)
#define module_init(initfn)
#define module_exit(exitfn)
#endif

#define __SIMK_PASTE2(a, b) a##b
#define __SIMK_PASTE(a, b) __SIMK_PASTE2(a, b)
#define __MODULE_INFO(tag, info) \
	static const char __SIMK_PASTE(__mod_##tag, __LINE__)[] \
	__attribute__((used, section(".modinfo"), aligned(1))) = \
		__stringify(tag) "=" info

#define MODULE_LICENSE(_license) __MODULE_INFO(license, _license)
#define MODULE_AUTHOR(_author) __MODULE_INFO(author, _author)
#define MODULE_DESCRIPTION(_description) __MODULE_INFO(description, _description)
#define MODULE_VERSION(_version) __MODULE_INFO(version, _version)
#define MODULE_ALIAS(_alias) __MODULE_INFO(alias, _alias)
#define MODULE_PARM_DESC(_parm, desc) \
	__MODULE_INFO(parm, #_parm ":" desc)
#define MODULE_SUPPORTED_DEVICE(name)
#define MODULE_DEVICE_TABLE(type, name)

/* Modules are loaded each into their own namespace; exports are recorded
 * for the reader only. */
#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)
#define EXPORT_SYMBOL_NOVERS(sym)

__SIMK_END_DECLS

#endif

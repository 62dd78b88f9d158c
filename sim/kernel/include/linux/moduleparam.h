/* Module parameters. insmod applies "name=value" to the variable a
 * module_param() names, through the kernel_param it leaves in the module
 * under the symbol __param_<name>. */
#ifndef _LINUX_MODULE_PARAMS_H
#define _LINUX_MODULE_PARAMS_H

#include <linux/types.h>
#include <linux/stat.h>
#include <linux/stringify.h>

__SIMK_BEGIN_DECLS

struct kernel_param;
typedef int (*param_set_fn)(const char *val, struct kernel_param *kp);
typedef int (*param_get_fn)(char *buffer, struct kernel_param *kp);

struct kernel_param {
	const char *name;
	unsigned int perm;
	param_set_fn set;
	param_get_fn get;
	void *arg;
};

int param_set_short(const char *val, struct kernel_param *kp);
int param_get_short(char *buffer, struct kernel_param *kp);
int param_set_ushort(const char *val, struct kernel_param *kp);
int param_get_ushort(char *buffer, struct kernel_param *kp);
int param_set_int(const char *val, struct kernel_param *kp);
int param_get_int(char *buffer, struct kernel_param *kp);
int param_set_uint(const char *val, struct kernel_param *kp);
int param_get_uint(char *buffer, struct kernel_param *kp);
int param_set_long(const char *val, struct kernel_param *kp);
int param_get_long(char *buffer, struct kernel_param *kp);
int param_set_ulong(const char *val, struct kernel_param *kp);
int param_get_ulong(char *buffer, struct kernel_param *kp);
int param_set_charp(const char *val, struct kernel_param *kp);
int param_get_charp(char *buffer, struct kernel_param *kp);
int param_set_bool(const char *val, struct kernel_param *kp);
int param_get_bool(char *buffer, struct kernel_param *kp);
int param_set_invbool(const char *val, struct kernel_param *kp);
int param_get_invbool(char *buffer, struct kernel_param *kp);

#define __param_check(name, p, type) \
	static inline type *__check_##name(void) { return (p); }

#define param_check_short(name, p) __param_check(name, p, short)
#define param_check_ushort(name, p) __param_check(name, p, unsigned short)
#define param_check_int(name, p) __param_check(name, p, int)
#define param_check_uint(name, p) __param_check(name, p, unsigned int)
#define param_check_long(name, p) __param_check(name, p, long)
#define param_check_ulong(name, p) __param_check(name, p, unsigned long)
#define param_check_charp(name, p) __param_check(name, p, char *)
#define param_check_bool(name, p) __param_check(name, p, int)
#define param_check_invbool(name, p) __param_check(name, p, int)

#define module_param_call(name, set, get, arg, perm) \
	struct kernel_param __param_##name __attribute__((used)) = \
		{ __stringify(name), perm, set, get, arg }

#define module_param_named(name, value, type, perm) \
	param_check_##type(name, &(value)); \
	module_param_call(name, param_set_##type, param_get_##type, &value, \
			  perm)

#define module_param(name, type, perm) \
	module_param_named(name, name, type, perm)

__SIMK_END_DECLS

#endif

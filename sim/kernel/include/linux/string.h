#ifndef _LINUX_STRING_H
#define _LINUX_STRING_H

#include <linux/types.h>
#include <linux/stddef.h>

#ifdef __cplusplus
/* The kernel's own C++ files take the C library's declarations. */
#include <string.h>
extern "C" {
size_t strlcpy(char *dest, const char *src, size_t size);
int strnicmp(const char *a, const char *b, size_t n);
char *kstrdup(const char *s, gfp_t gfp);
}
#else

void *memset(void *s, int c, size_t n);
void *memcpy(void *dest, const void *src, size_t n);
void *memmove(void *dest, const void *src, size_t n);
int memcmp(const void *a, const void *b, size_t n);
void *memchr(const void *s, int c, size_t n);
size_t strlen(const char *s);
size_t strnlen(const char *s, size_t maxlen);
char *strcpy(char *dest, const char *src);
char *strncpy(char *dest, const char *src, size_t n);
size_t strlcpy(char *dest, const char *src, size_t size);
char *strcat(char *dest, const char *src);
char *strncat(char *dest, const char *src, size_t n);
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, size_t n);
int strnicmp(const char *a, const char *b, size_t n);
char *strchr(const char *s, int c);
char *strrchr(const char *s, int c);
char *strstr(const char *haystack, const char *needle);
char *strsep(char **stringp, const char *delim);
char *kstrdup(const char *s, gfp_t gfp);

#endif

#endif

/* Files, inodes and character devices as a 2.6.20 driver sees them. */
#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/kdev_t.h>
#include <linux/fcntl.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/errno.h>
#include <asm/atomic.h>

__SIMK_BEGIN_DECLS

struct module;
struct page;
struct poll_table_struct;
struct vm_area_struct;
struct kiocb;
struct iovec;
struct file_lock;
struct pipe_inode_info;
struct address_space;
struct vfsmount;
struct cdev;
struct dentry;

typedef void *fl_owner_t;
typedef int (*filldir_t)(void *, const char *, int, loff_t, u64, unsigned);
typedef struct {
	size_t written;
	size_t count;
	union {
		char __user *buf;
		void *data;
	} arg;
	int error;
} read_descriptor_t;
typedef int (*read_actor_t)(read_descriptor_t *, struct page *, unsigned long,
			    unsigned long);

#define FMODE_READ 1
#define FMODE_WRITE 2
#define FMODE_LSEEK 4
#define FMODE_PREAD 8
#define FMODE_PWRITE FMODE_PREAD

#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

struct inode {
	unsigned long i_ino;
	atomic_t i_count;
	umode_t i_mode;
	unsigned int i_nlink;
	uid_t i_uid;
	gid_t i_gid;
	u32 i_rdev;	/* dev_t */
	loff_t i_size;
	struct cdev *i_cdev;
	void *i_private;
};

struct dentry {
	struct inode *d_inode;
	struct dentry *d_parent;
	const char *d_name;
};

struct path {
	struct vfsmount *mnt;
	struct dentry *dentry;
};

struct fown_struct {
	rwlock_t lock;
	int pid;	/* the process that gets SIGIO (fcntl F_SETOWN) */
	int pid_type;
	uid_t uid, euid;
	int signum;	/* fcntl F_SETSIG; 0 means SIGIO */
};

struct file {
	struct list_head f_list;
	struct path f_path;
#define f_dentry f_path.dentry
#define f_vfsmnt f_path.mnt
	const struct file_operations *f_op;
	atomic_t f_count;
	unsigned int f_flags;
	mode_t f_mode;
	loff_t f_pos;
	struct fown_struct f_owner;
	unsigned int f_uid, f_gid;
	unsigned long f_version;
	void *private_data;
	struct address_space *f_mapping;
};

struct file_operations {
	struct module *owner;
	loff_t (*llseek)(struct file *, loff_t, int);
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	ssize_t (*aio_read)(struct kiocb *, const struct iovec *, unsigned long,
			    loff_t);
	ssize_t (*aio_write)(struct kiocb *, const struct iovec *,
			     unsigned long, loff_t);
	int (*readdir)(struct file *, void *, filldir_t);
	unsigned int (*poll)(struct file *, struct poll_table_struct *);
	int (*ioctl)(struct inode *, struct file *, unsigned int,
		     unsigned long);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
	int (*mmap)(struct file *, struct vm_area_struct *);
	int (*open)(struct inode *, struct file *);
	int (*flush)(struct file *, fl_owner_t id);
	int (*release)(struct inode *, struct file *);
	int (*fsync)(struct file *, struct dentry *, int datasync);
	int (*aio_fsync)(struct kiocb *, int datasync);
	int (*fasync)(int, struct file *, int);
	int (*lock)(struct file *, int, struct file_lock *);
	ssize_t (*sendfile)(struct file *, loff_t *, size_t, read_actor_t,
			    void *);
	ssize_t (*sendpage)(struct file *, struct page *, int, size_t,
			    loff_t *, int);
	unsigned long (*get_unmapped_area)(struct file *, unsigned long,
					   unsigned long, unsigned long,
					   unsigned long);
	int (*check_flags)(int);
	int (*dir_notify)(struct file *filp, unsigned long arg);
	int (*flock)(struct file *, int, struct file_lock *);
	ssize_t (*splice_write)(struct pipe_inode_info *, struct file *,
				loff_t *, size_t, unsigned int);
	ssize_t (*splice_read)(struct file *, loff_t *,
			       struct pipe_inode_info *, size_t, unsigned int);
};

static inline unsigned iminor(const struct inode *inode)
{
	return MINOR(inode->i_rdev);
}

static inline unsigned imajor(const struct inode *inode)
{
	return MAJOR(inode->i_rdev);
}

/* Character devices: majors 1..511; major 0 asks for a free one, which is
 * returned. */
#define CHRDEV_MAJOR_MAX 512
int register_chrdev(unsigned int major, const char *name,
		    const struct file_operations *fops);
int unregister_chrdev(unsigned int major, const char *name);

loff_t no_llseek(struct file *file, loff_t offset, int origin);
loff_t default_llseek(struct file *file, loff_t offset, int origin);
int nonseekable_open(struct inode *inode, struct file *filp);

/* Asynchronous notification (SIGIO). */
#define FASYNC_MAGIC 0x4601
struct fasync_struct {
	int magic;
	int fa_fd;
	struct fasync_struct *fa_next;
	struct file *fa_file;
};

int fasync_helper(int fd, struct file *filp, int on,
		  struct fasync_struct **fapp);
void kill_fasync(struct fasync_struct **fp, int sig, int band);
void __kill_fasync(struct fasync_struct *fa, int sig, int band);

__SIMK_END_DECLS

#endif

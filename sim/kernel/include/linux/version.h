#define LINUX_VERSION_CODE 132628
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
#define UTS_RELEASE "2.6.20"

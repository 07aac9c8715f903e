// The management module's control file, as the tools see it.
#pragma once

#define JXMNG_API_VERSION 3
#define JXMNG_PROC_DIR "/proc/net/mng"
#define JXMNG_PROC_CONFIG JXMNG_PROC_DIR "/config"
// Names are passed in a 16-byte buffer: at most 15 characters and the terminator.
#define JXMNG_NAME_SIZE 16

#define JXMNG_IOCTL_DEV_ADD 0x40046d00u     // pointer to the name
#define JXMNG_IOCTL_DEV_DEL 0x40046d01u     // pointer to the name
#define JXMNG_IOCTL_API_VERSION 0x80046d02u // pointer to a 32-bit integer
#define JXMNG_IOCTL_DEBUG 0x40046d03u       // the value itself

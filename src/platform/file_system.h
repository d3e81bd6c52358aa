// What the file system under a descriptor is, where the platform has to be
// asked in its own way (internal, never installed).
#ifndef PLATFORM_FILE_SYSTEM_H
#define PLATFORM_FILE_SYSTEM_H

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#elif defined(__NetBSD__)
#include <sys/statvfs.h>
#else
#include <sys/mount.h>
#include <sys/param.h>
#endif

namespace platform {

// Whether fd lies on a file system shared with other hosts, where a
// process id written by one host means nothing to another.  True too when
// it cannot be told.  Linux names the file system type by its magic
// number; NetBSD (which has no fstatfs) flags the local ones in fstatvfs,
// FreeBSD, OpenBSD and macOS in fstatfs.
inline bool on_network_file_system(int fd)
{
#if defined(__linux__)
	struct statfs fs;
	if (fstatfs(fd, &fs) != 0)
		return true;
	switch (static_cast<unsigned long>(fs.f_type)) {
	case NFS_SUPER_MAGIC:
	case SMB_SUPER_MAGIC:
	case CIFS_SUPER_MAGIC:
	case SMB2_SUPER_MAGIC:
	case CODA_SUPER_MAGIC:
	case AFS_SUPER_MAGIC:
	case AFS_FS_MAGIC:
	case V9FS_MAGIC:
	case CEPH_SUPER_MAGIC:
	case FUSE_SUPER_MAGIC:
	case NCP_SUPER_MAGIC:
	case OCFS2_SUPER_MAGIC:
		return true;
	default:
		return false;
	}
#elif defined(__NetBSD__)
	struct statvfs vfs;
	if (fstatvfs(fd, &vfs) != 0)
		return true;
	return (vfs.f_flag & ST_LOCAL) == 0;
#else
	struct statfs fs;
	if (fstatfs(fd, &fs) != 0)
		return true;
	return (fs.f_flags & MNT_LOCAL) == 0;
#endif
}

}  // namespace platform

#endif

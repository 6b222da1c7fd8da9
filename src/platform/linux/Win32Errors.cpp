#include "platform/linux/Win32Errors.h"

#include <cerrno>

#include "platform/FileSystem.h"

namespace Telvar {
namespace Platform {

uint32_t win32ErrorFromErrno(int e)
{
    switch (e) {
    case 0: return FILE_ERROR_NONE;
    case ENOENT: return FILE_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return FILE_ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return FILE_ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM: return FILE_ERROR_ACCESS_DENIED;
    case EBADF: return FILE_ERROR_INVALID_HANDLE;
    case ENOMEM: return FILE_ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return FILE_ERROR_NOT_SAME_DEVICE;
    case EROFS: return FILE_ERROR_WRITE_PROTECT;
    case EIO: return FILE_ERROR_GEN_FAILURE;
    case EWOULDBLOCK: return FILE_ERROR_SHARING_VIOLATION;
    case EEXIST: return FILE_ERROR_ALREADY_EXISTS;
    case EINVAL: return FILE_ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return FILE_ERROR_DISK_FULL;
    case ENAMETOOLONG: return FILE_ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return FILE_ERROR_DIR_NOT_EMPTY;
    case EBUSY: return FILE_ERROR_BUSY;
    case EISDIR: return FILE_ERROR_ACCESS_DENIED;
    case ELOOP: return FILE_ERROR_INVALID_NAME;
    default: return FILE_ERROR_GEN_FAILURE;
    }
}

} // namespace Platform
} // namespace Telvar

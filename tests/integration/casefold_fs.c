/* A case-insensitive folder for tests, on any kernel that has FUSE: a
 * passthrough over a backing directory in which every path level is looked
 * up without regard to letter case (ASCII, and single code points of the
 * Basic Multilingual Plane as the C library folds them, so the Kelvin sign
 * matches k). A name that exists under one spelling is that file under every
 * spelling; a new name keeps the spelling it was made with.
 *
 *   casefold_fs BACKING MOUNTPOINT [FUSE options, e.g. -f -s]
 *
 * Inode numbers, owners and modes are the backing files' own, so a program
 * that checks a file's identity or its owner sees the truth. */

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <locale.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <wchar.h>
#include <wctype.h>

static int backing = -1;

/* One code point of `s` folded, or the byte itself when `s` is not valid
 * UTF-8 there; `*length` is how many bytes it took. */
static wint_t folded(const char *s, size_t left, size_t *length) {
  mbstate_t state;
  wchar_t c;
  memset(&state, 0, sizeof state);
  size_t n = mbrtowc(&c, s, left, &state);
  if (n == 0 || n == (size_t)-1 || n == (size_t)-2) {
    *length = 1;
    return 0x110000 + (unsigned char)*s;  /* never equal to a code point */
  }
  *length = n;
  return towupper(towlower(c));
}

static int same_name(const char *a, size_t alength, const char *b) {
  size_t blength = strlen(b);
  while (alength > 0 && blength > 0) {
    size_t na, nb;
    if (folded(a, alength, &na) != folded(b, blength, &nb)) return 0;
    a += na, alength -= na;
    b += nb, blength -= nb;
  }
  return alength == 0 && blength == 0;
}

/* The backing path (relative to the backing directory) of `path`, each
 * level spelt as it exists there. A last level that does not exist keeps
 * the spelling asked for and `*exists` is 0; a missing level before it is
 * ENOENT. */
static int resolve(const char *path, char *out, size_t size, int *exists) {
  size_t used = 1;
  strcpy(out, ".");
  *exists = 1;
  while (*path == '/') path++;
  while (*path) {
    const char *end = strchr(path, '/');
    size_t length = end ? (size_t)(end - path) : strlen(path);
    const char *next = path + length;
    while (*next == '/') next++;
    if (!*exists) return -ENOENT;
    if (used + 1 + length + 1 > size) return -ENAMETOOLONG;
    out[used++] = '/';
    memcpy(out + used, path, length);
    out[used + length] = '\0';
    struct stat st;
    if (fstatat(backing, out, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      /* Not under this spelling: look for another one. */
      out[used - 1] = '\0';
      int fd = openat(backing, out, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      out[used - 1] = '/';
      if (fd < 0) return -errno;
      DIR *dir = fdopendir(fd);
      if (!dir) {
        close(fd);
        return -ENOMEM;
      }
      int found = 0;
      struct dirent *entry;
      while ((entry = readdir(dir)) != NULL) {
        if (same_name(path, length, entry->d_name)) {
          size_t n = strlen(entry->d_name);
          if (used + n + 1 > size) {
            closedir(dir);
            return -ENAMETOOLONG;
          }
          memcpy(out + used, entry->d_name, n + 1);
          length = n;
          found = 1;
          break;
        }
      }
      closedir(dir);
      if (!found) *exists = 0;
    }
    used += length;
    path = next;
  }
  return 0;
}

#define RESOLVE(path, real, exists)                        \
  char real[PATH_MAX];                                     \
  int exists;                                              \
  {                                                        \
    int failed = resolve(path, real, sizeof real, &exists); \
    if (failed) return failed;                             \
  }

#define EXISTING(path, real)       \
  RESOLVE(path, real, real##_here) \
  if (!real##_here) return -ENOENT;

static int result(int value) { return value < 0 ? -errno : value; }

static void *fold_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  (void)conn;
  cfg->use_ino = 1;        /* the backing inode numbers */
  cfg->hard_remove = 1;    /* no hidden files left behind by an unlink */
  cfg->entry_timeout = 0;  /* every spelling is looked up afresh */
  cfg->negative_timeout = 0;
  cfg->attr_timeout = 0;
  return NULL;
}

static int fold_getattr(const char *path, struct stat *st,
                        struct fuse_file_info *fi) {
  if (fi) return result(fstat((int)fi->fh, st));
  EXISTING(path, real);
  return result(fstatat(backing, real, st, AT_SYMLINK_NOFOLLOW));
}

static int fold_readlink(const char *path, char *buffer, size_t size) {
  EXISTING(path, real);
  ssize_t n = readlinkat(backing, real, buffer, size - 1);
  if (n < 0) return -errno;
  buffer[n] = '\0';
  return 0;
}

static int fold_readdir(const char *path, void *buffer, fuse_fill_dir_t fill,
                        off_t offset, struct fuse_file_info *fi,
                        enum fuse_readdir_flags flags) {
  (void)offset, (void)fi, (void)flags;
  EXISTING(path, real);
  int fd = openat(backing, real, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return -errno;
  DIR *dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return -ENOMEM;
  }
  struct dirent *entry;
  while ((entry = readdir(dir)) != NULL) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = entry->d_ino;
    st.st_mode = (mode_t)DTTOIF(entry->d_type);
    if (fill(buffer, entry->d_name, &st, 0, 0)) break;
  }
  closedir(dir);
  return 0;
}

static int fold_mkdir(const char *path, mode_t mode) {
  RESOLVE(path, real, exists);
  if (exists) return -EEXIST;
  return result(mkdirat(backing, real, mode));
}

static int fold_unlink(const char *path) {
  EXISTING(path, real);
  return result(unlinkat(backing, real, 0));
}

static int fold_rmdir(const char *path) {
  EXISTING(path, real);
  return result(unlinkat(backing, real, AT_REMOVEDIR));
}

static int fold_symlink(const char *target, const char *path) {
  RESOLVE(path, real, exists);
  if (exists) return -EEXIST;
  return result(symlinkat(target, backing, real));
}

static int fold_rename(const char *from, const char *to, unsigned int flags) {
  EXISTING(from, source);
  RESOLVE(to, target, exists);
  /* Another spelling of the same name changes the spelling; an existing
   * other file is replaced under the name it has. */
  if (exists) {
    struct stat a, b;
    if (fstatat(backing, source, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
        fstatat(backing, target, &b, AT_SYMLINK_NOFOLLOW) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      /* The asked-for spelling, in the folder the target resolved to. */
      char *slash = strrchr(target, '/');
      const char *name = strrchr(to, '/');
      if (slash && name &&
          (size_t)(slash - target) + strlen(name) + 1 <= sizeof target)
        strcpy(slash, name);
      flags &= ~(unsigned int)RENAME_NOREPLACE;
    }
  }
  return result(renameat2(backing, source, backing, target, flags));
}

static int fold_chmod(const char *path, mode_t mode,
                      struct fuse_file_info *fi) {
  if (fi) return result(fchmod((int)fi->fh, mode));
  EXISTING(path, real);
  return result(fchmodat(backing, real, mode, 0));
}

static int fold_chown(const char *path, uid_t uid, gid_t gid,
                      struct fuse_file_info *fi) {
  if (fi) return result(fchown((int)fi->fh, uid, gid));
  EXISTING(path, real);
  return result(fchownat(backing, real, uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int fold_truncate(const char *path, off_t size,
                         struct fuse_file_info *fi) {
  if (fi) return result(ftruncate((int)fi->fh, size));
  EXISTING(path, real);
  int fd = openat(backing, real, O_WRONLY | O_NOFOLLOW);
  if (fd < 0) return -errno;
  int done = result(ftruncate(fd, size));
  close(fd);
  return done;
}

static int fold_utimens(const char *path, const struct timespec times[2],
                        struct fuse_file_info *fi) {
  if (fi) return result(futimens((int)fi->fh, times));
  EXISTING(path, real);
  return result(utimensat(backing, real, times, AT_SYMLINK_NOFOLLOW));
}

static int fold_create(const char *path, mode_t mode,
                       struct fuse_file_info *fi) {
  /* The existing spelling when there is one, so O_EXCL fails there. */
  RESOLVE(path, real, exists);
  (void)exists;
  int fd = openat(backing, real, fi->flags | O_NOFOLLOW, mode);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int fold_open(const char *path, struct fuse_file_info *fi) {
  EXISTING(path, real);
  int fd = openat(backing, real, fi->flags | O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int fold_read(const char *path, char *buffer, size_t size, off_t offset,
                     struct fuse_file_info *fi) {
  (void)path;
  return result((int)pread((int)fi->fh, buffer, size, offset));
}

static int fold_write(const char *path, const char *buffer, size_t size,
                      off_t offset, struct fuse_file_info *fi) {
  (void)path;
  return result((int)pwrite((int)fi->fh, buffer, size, offset));
}

static int fold_statfs(const char *path, struct statvfs *st) {
  (void)path;
  return result(fstatvfs(backing, st));
}

static int fold_release(const char *path, struct fuse_file_info *fi) {
  (void)path;
  close((int)fi->fh);
  return 0;
}

static int fold_fsync(const char *path, int data_only,
                      struct fuse_file_info *fi) {
  (void)path;
  return result(data_only ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static const struct fuse_operations operations = {
    .init = fold_init,
    .getattr = fold_getattr,
    .readlink = fold_readlink,
    .readdir = fold_readdir,
    .mkdir = fold_mkdir,
    .unlink = fold_unlink,
    .rmdir = fold_rmdir,
    .symlink = fold_symlink,
    .rename = fold_rename,
    .chmod = fold_chmod,
    .chown = fold_chown,
    .truncate = fold_truncate,
    .utimens = fold_utimens,
    .create = fold_create,
    .open = fold_open,
    .read = fold_read,
    .write = fold_write,
    .statfs = fold_statfs,
    .release = fold_release,
    .fsync = fold_fsync,
};

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s BACKING MOUNTPOINT [FUSE options]\n", argv[0]);
    return 2;
  }
  if (!setlocale(LC_CTYPE, "C.UTF-8")) {
    fprintf(stderr, "%s: no C.UTF-8 locale\n", argv[0]);
    return 2;
  }
  backing = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (backing < 0) {
    perror(argv[1]);
    return 2;
  }
  /* FUSE sees the arguments without the backing directory. */
  argv[1] = argv[0];
  umask(0);
  return fuse_main(argc - 1, argv + 1, &operations, NULL);
}

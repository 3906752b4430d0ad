#define FUSE_USE_VERSION 34

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/fileprovider/drive/fuse_drive.hpp"

// The FUSE low-level operations of a drive. Each runs on a thread of the FUSE loop; what
// needs the server is answered later from a plug-in completion (see FuseDrive).

namespace folium::platform::drive {
namespace {

// The replica is the truth and the kernel is told when it changes, so what the kernel
// caches may live long.
constexpr double kCacheTimeout = 3600.0;

FuseDrive& driveOf(fuse_req_t req) { return *static_cast<FuseDrive*>(fuse_req_userdata(req)); }

// The server's time stamps ("2026-12-06T20:31:07.123456Z", offsets accepted) as a time;
// none when the text is not one.
std::optional<timespec> parseStamp(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &consumed) != 6) {
    return std::nullopt;
  }
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  timespec time{timegm(&utc), 0};
  const char* rest = text.c_str() + consumed;
  if (*rest == '.') {
    long nanos = 0;
    int digits = 0;
    for (++rest; *rest >= '0' && *rest <= '9'; ++rest) {
      if (digits++ < 9) nanos = nanos * 10 + (*rest - '0');
    }
    for (; digits < 9; ++digits) nanos *= 10;
    time.tv_nsec = nanos;
  }
  int offsetHours = 0, offsetMinutes = 0;
  if ((*rest == '+' || *rest == '-') &&
      std::sscanf(rest + 1, "%2d:%2d", &offsetHours, &offsetMinutes) == 2) {
    const long offset = offsetHours * 3600L + offsetMinutes * 60L;
    time.tv_sec += *rest == '+' ? -offset : offset;
  }
  return time;
}

struct stat attributesOf(const ReplicaItem& item) {
  struct stat attr {};
  attr.st_ino = item.id;
  const bool directory = item.isContainer();
  mode_t owner = 0;
  if (item.flags & FileSystemFlag::userReadable) owner |= S_IRUSR;
  if (item.flags & FileSystemFlag::userWritable) owner |= S_IWUSR;
  if (directory) owner |= S_IRUSR | S_IXUSR;
  attr.st_mode = directory ? (S_IFDIR | owner | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH)
                           : (S_IFREG | owner | S_IRGRP | S_IROTH);
  attr.st_nlink = directory ? 2 : 1;
  static const uid_t user = ::getuid();
  static const gid_t group = ::getgid();
  attr.st_uid = user;
  attr.st_gid = group;
  attr.st_size = directory ? 0 : item.size;
  attr.st_blksize = 64 * 1024;
  attr.st_blocks = (attr.st_size + 511) / 512;
  static const timespec mounted = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }();
  const auto stamp = parseStamp(item.contentVersion);
  attr.st_mtim = attr.st_ctim = attr.st_atim = stamp.value_or(mounted);
  return attr;
}

fuse_entry_param entryOf(const ReplicaItem& item) {
  fuse_entry_param entry{};
  entry.ino = item.id;
  entry.generation = 0;  // local ids are never reused
  entry.attr = attributesOf(item);
  entry.attr_timeout = kCacheTimeout;
  entry.entry_timeout = kCacheTimeout;
  return entry;
}

// Answers a request whose reply may come from another thread, counting it while it waits.
template <typename Reply>
FuseDrive::Done later(fuse_req_t req, Reply reply) {
  FuseDrive& drive = driveOf(req);
  drive.beginAsync();
  return [&drive, req, reply = std::move(reply)](int error) {
    reply(req, error);
    drive.endAsync();
  };
}

void init(void*, fuse_conn_info* conn) {
  // Reads are answered from the cached file's descriptor: let the kernel splice them.
  if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
  if (conn->capable & FUSE_CAP_SPLICE_MOVE) conn->want |= FUSE_CAP_SPLICE_MOVE;
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  FuseDrive& drive = driveOf(req);
  if (drive.stopping()) return (void)fuse_reply_err(req, ENOENT);
  drive.ensureListed(parent,
                     later(req, [parent, name = std::string(name)](fuse_req_t req, int error) {
                       if (error != 0) return (void)fuse_reply_err(req, error);
                       FuseDrive& drive = driveOf(req);
                       const auto child = drive.replica().child(parent, name);
                       if (!child) return (void)fuse_reply_err(req, ENOENT);
                       const fuse_entry_param entry = entryOf(*child);
                       drive.replica().remember(child->id);
                       // A lookup the kernel did not take (interrupted) must not count.
                       if (fuse_reply_entry(req, &entry) != 0) drive.replica().forget(child->id, 1);
                     }));
}

void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  driveOf(req).replica().forget(ino, nlookup);
  fuse_reply_none(req);
}

void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  auto& replica = driveOf(req).replica();
  for (size_t i = 0; i < count; ++i) replica.forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  const auto item = driveOf(req).replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  const struct stat attr = attributesOf(*item);
  fuse_reply_attr(req, &attr, kCacheTimeout);
}

// A listing as it was when the folder was opened, so that offsets stay meaningful.
struct DirectoryHandle {
  std::vector<ReplicaItem> entries;
  fuse_ino_t parent = FUSE_ROOT_ID;
};

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const fuse_file_info info = *fi;
  driveOf(req).ensureListed(ino, later(req, [ino, info](fuse_req_t req, int error) {
                              if (error != 0) return (void)fuse_reply_err(req, error);
                              FuseDrive& drive = driveOf(req);
                              auto handle = std::make_unique<DirectoryHandle>();
                              handle->entries = drive.replica().children(ino);
                              if (const auto self = drive.replica().item(ino))
                                handle->parent = self->parent;
                              fuse_file_info opened = info;
                              opened.fh = reinterpret_cast<std::uint64_t>(handle.get());
                              if (fuse_reply_open(req, &opened) == 0) handle.release();
                            }));
}

void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  delete reinterpret_cast<DirectoryHandle*>(fi->fh);
  fuse_reply_err(req, 0);
}

void listDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                   bool plus) {
  auto* handle = reinterpret_cast<DirectoryHandle*>(fi->fh);
  FuseDrive& drive = driveOf(req);
  std::vector<char> buffer(size);
  size_t used = 0;
  // Offsets: 1 after ".", 2 after "..", then 3 + the index of the next entry.
  for (off_t at = offset; at < static_cast<off_t>(handle->entries.size()) + 2; ++at) {
    const size_t room = size - used;
    size_t needed = 0;
    if (at < 2) {
      const char* name = at == 0 ? "." : "..";
      fuse_entry_param entry{};
      entry.attr.st_ino = at == 0 ? ino : handle->parent;
      entry.attr.st_mode = S_IFDIR;
      needed = plus ? fuse_add_direntry_plus(req, buffer.data() + used, room, name, &entry, at + 1)
                    : fuse_add_direntry(req, buffer.data() + used, room, name, &entry.attr, at + 1);
    } else {
      const ReplicaItem& item = handle->entries[static_cast<size_t>(at - 2)];
      const fuse_entry_param entry = entryOf(item);
      needed = plus ? fuse_add_direntry_plus(req, buffer.data() + used, room,
                                             item.shownName.c_str(), &entry, at + 1)
                    : fuse_add_direntry(req, buffer.data() + used, room, item.shownName.c_str(),
                                        &entry.attr, at + 1);
      if (needed <= room && plus) drive.replica().remember(item.id);
    }
    if (needed > room) break;
    used += needed;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  listDirectory(req, ino, size, offset, fi, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  listDirectory(req, ino, size, offset, fi, true);
}

// Opens the cached contents and answers the open. `keepCache`: the contents are those the
// kernel may already hold in its page cache.
void replyOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, bool keepCache) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item || !item->contentFile) return (void)fuse_reply_err(req, ENOENT);
  const int fd =
      ::open(drive.replica().contentsPath(*item->contentFile).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return (void)fuse_reply_err(req, errno);
  info.fh = static_cast<std::uint64_t>(fd);
  info.keep_cache = keepCache;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  drive.replica().touch(ino, now);
  if (fuse_reply_open(req, &info) != 0) ::close(fd);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) {
    return (void)fuse_reply_err(req, EROFS);
  }
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  if (item->isContainer()) return (void)fuse_reply_err(req, EISDIR);
  const fuse_file_info info = *fi;
  if (item->contentsCurrent()) return replyOpen(req, ino, info, true);
  // Offline, an older download still beats no file at all.
  if (drive.offline() && item->contentFile) return replyOpen(req, ino, info, false);
  drive.ensureFetched(ino, later(req, [ino, info](fuse_req_t req, int error) {
                        FuseDrive& drive = driveOf(req);
                        if (error != 0) {
                          const auto stale = drive.replica().item(ino);
                          if (error == ENETUNREACH && stale && stale->contentFile) {
                            return replyOpen(req, ino, info, false);
                          }
                          return (void)fuse_reply_err(req, error);
                        }
                        // The kernel may hold the provisional size: it drops it before the first
                        // read.
                        drive.beginAsync();
                        drive.invalidate({{ino}, {}}, [&drive, req, ino, info] {
                          replyOpen(req, ino, info, false);
                          drive.endAsync();
                        });
                      }));
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
  buffer.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffer.buf[0].fd = static_cast<int>(fi->fh);
  buffer.buf[0].pos = offset;
  fuse_reply_data(req, &buffer, FUSE_BUF_SPLICE_MOVE);
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  fuse_reply_err(req, 0);
}

void flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void statfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs info {};
  if (::statvfs(driveOf(req).options().stateDirectory.c_str(), &info) != 0) {
    return (void)fuse_reply_err(req, errno);
  }
  info.f_namemax = 255;
  fuse_reply_statfs(req, &info);
}

// Changes are not written back yet: every call that would change the drive is refused and
// changes nothing.
void readOnly(fuse_req_t req) { fuse_reply_err(req, EROFS); }
void setattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { readOnly(req); }
void mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { readOnly(req); }
void mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { readOnly(req); }
void unlink(fuse_req_t req, fuse_ino_t, const char*) { readOnly(req); }
void rmdir(fuse_req_t req, fuse_ino_t, const char*) { readOnly(req); }
void symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { readOnly(req); }
void rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
  readOnly(req);
}
void link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { readOnly(req); }
void write(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
  readOnly(req);
}
void create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { readOnly(req); }
void setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { readOnly(req); }
void removexattr(fuse_req_t req, fuse_ino_t, const char*) { readOnly(req); }
void fallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { readOnly(req); }

const fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops ops{};
  ops.init = init;
  ops.lookup = lookup;
  ops.forget = forget;
  ops.forget_multi = forgetMulti;
  ops.getattr = getattr;
  ops.setattr = setattr;
  ops.opendir = opendir;
  ops.readdir = readdir;
  ops.readdirplus = readdirplus;
  ops.releasedir = releasedir;
  ops.open = open;
  ops.read = read;
  ops.release = release;
  ops.flush = flush;
  ops.statfs = statfs;
  ops.mknod = mknod;
  ops.mkdir = mkdir;
  ops.unlink = unlink;
  ops.rmdir = rmdir;
  ops.symlink = symlink;
  ops.rename = rename;
  ops.link = link;
  ops.write = write;
  ops.create = create;
  ops.setxattr = setxattr;
  ops.removexattr = removexattr;
  ops.fallocate = fallocate;
  return ops;
}();

}  // namespace

const fuse_lowlevel_ops& driveOperations() { return kOperations; }

}  // namespace folium::platform::drive

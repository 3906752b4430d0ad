#define FUSE_USE_VERSION 34

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/content_types.hpp"
#include "platform/fileprovider/drive/errno_mapping.hpp"
#include "platform/fileprovider/drive/fuse_drive.hpp"
#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/fileprovider/item_fields.hpp"

// The FUSE low-level operations of a drive. Each runs on a thread of the FUSE loop; what
// needs the server is answered later from a plug-in completion (see FuseDrive).

namespace folium::platform::drive {
namespace {

// The replica is the truth and the kernel is told when it changes, so what the kernel
// caches may live long.
constexpr double kCacheTimeout = 3600.0;

FuseDrive& driveOf(fuse_req_t req) { return *static_cast<FuseDrive*>(fuse_req_userdata(req)); }

// Reads a run of `most` digits or fewer (at least one) at `at` into `value`.
bool readNumber(const char*& at, int most, long& value) {
  value = 0;
  int digits = 0;
  for (; digits < most && *at >= '0' && *at <= '9'; ++digits, ++at)
    value = value * 10 + (*at - '0');
  return digits > 0;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
long daysFromCivil(long year, long month, long day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The server's time stamps ("2026-12-06T20:31:07.123456Z", offsets accepted) as a time;
// none when the text is not one. Read by hand: a listing shows thousands of them at once.
std::optional<timespec> parseStamp(const std::string& text) {
  const char* at = text.c_str();
  long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  const auto field = [&at](int most, long& value, char separator) {
    if (!readNumber(at, most, value)) return false;
    if (separator == '\0') return true;
    return *at++ == separator;
  };
  if (!field(4, year, '-') || !field(2, month, '-') || !field(2, day, 'T') ||
      !field(2, hour, ':') || !field(2, minute, ':') || !field(2, second, '\0')) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  timespec time{daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second, 0};
  if (*at == '.') {
    long nanos = 0;
    int digits = 0;
    for (++at; *at >= '0' && *at <= '9'; ++at) {
      if (digits++ < 9) nanos = nanos * 10 + (*at - '0');
    }
    for (; digits < 9; ++digits) nanos *= 10;
    time.tv_nsec = nanos;
  }
  long offsetHours = 0, offsetMinutes = 0;
  const char sign = *at;
  if (sign == '+' || sign == '-') {
    ++at;
    if (field(2, offsetHours, ':') && field(2, offsetMinutes, '\0')) {
      const long offset = offsetHours * 3600L + offsetMinutes * 60L;
      time.tv_sec += sign == '+' ? -offset : offset;
    }
  }
  return time;
}

struct stat attributesOf(const ReplicaItem& item) {
  struct stat attr {};
  attr.st_ino = item.id;
  const bool directory = item.isContainer();
  mode_t owner = 0;
  if (item.flags & FileSystemFlag::userReadable) owner |= S_IRUSR;
  // Nothing is made at the top, which holds the server's workspaces: saying so keeps file
  // managers from offering a trash there, which they would fail to create.
  if ((item.flags & FileSystemFlag::userWritable) && item.kind != ItemKind::root) owner |= S_IWUSR;
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
  // Only what the cache holds is on the disk: a document never downloaded takes no room.
  attr.st_blocks = item.contentFile ? (attr.st_size + 511) / 512 : 0;
  static const timespec mounted = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  }();
  const auto stamp = parseStamp(item.contentVersion);
  attr.st_mtim = attr.st_ctim = attr.st_atim = stamp.value_or(mounted);
  return attr;
}

// What the drive knows locally and the replica not yet: the size of a file being written,
// the modification time set by writes and `touch`. `attr` holds the item's attributes.
void applyLocal(FuseDrive& drive, const std::optional<std::int64_t>& contentFile,
                struct stat& attr) {
  if (S_ISDIR(attr.st_mode)) return;
  if (const auto file = drive.openFile(attr.st_ino); file && contentFile) {
    struct stat cached {};
    if (::stat(drive.replica().contentsPath(*contentFile).c_str(), &cached) == 0) {
      attr.st_size = cached.st_size;
      attr.st_blocks = cached.st_blocks;
    }
  }
  if (const auto time = drive.localTime(attr.st_ino)) attr.st_mtim = attr.st_ctim = *time;
}
void applyLocal(FuseDrive& drive, const ReplicaItem& item, struct stat& attr) {
  applyLocal(drive, item.contentFile, attr);
}

timespec now() {
  timespec time{};
  clock_gettime(CLOCK_REALTIME, &time);
  return time;
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
  // Writes reach the drive as they are made: sizes and times stay the drive's to tell. With
  // the kernel's write-back cache, the kernel keeps its own size of a file once it knows it,
  // even after the server changed the file, and writes it holds die with a killed worker.
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  // O_TRUNC comes with the open, so a file replaced whole is never downloaded first.
  if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  // Writes come through a pipe into the cached file (see writeBuf). A request must fit in a
  // pipe a user may have (1 MiB unless the system allows more): its data, a page less.
  if (conn->capable & FUSE_CAP_SPLICE_READ) conn->want |= FUSE_CAP_SPLICE_READ;
  conn->max_write = (1 << 20) - 4096;
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
                       fuse_entry_param entry = entryOf(*child);
                       applyLocal(drive, *child, entry.attr);
                       drive.replica().remember(child->id);
                       // A lookup the kernel did not take (interrupted) must not count.
                       if (fuse_reply_entry(req, &entry) != 0) drive.replica().forget(child->id, 1);
                     }));
}

void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  driveOf(req).forgetForward(ino);
  driveOf(req).replica().forget(ino, nlookup);
  fuse_reply_none(req);
}

void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  FuseDrive& drive = driveOf(req);
  for (size_t i = 0; i < count; ++i) {
    drive.forgetForward(forgets[i].ino);
    drive.replica().forget(forgets[i].ino, forgets[i].nlookup);
  }
  fuse_reply_none(req);
}

void replyAttributes(fuse_req_t req, fuse_ino_t ino);

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  replyAttributes(req, driveOf(req).forwarded(ino));
}

// A listing as it was when the folder was opened, so that offsets stay meaningful: the
// names and what the replica said of each entry then.
struct DirectoryHandle final : FuseDrive::OpenHandle {
  struct Entry {
    std::string name;
    struct stat attr;
    std::optional<std::int64_t> contentFile;
  };
  std::vector<Entry> entries;
  fuse_ino_t parent = FUSE_ROOT_ID;
};

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const fuse_file_info info = *fi;
  driveOf(req).ensureListed(
      ino, later(req, [ino, info](fuse_req_t req, int error) {
        if (error != 0) return (void)fuse_reply_err(req, error);
        FuseDrive& drive = driveOf(req);
        auto handle = std::make_unique<DirectoryHandle>();
        handle->entries = drive.replica().mapChildren(ino, [](const ReplicaItem& child) {
          return DirectoryHandle::Entry{child.shownName, attributesOf(child), child.contentFile};
        });
        if (const auto self = drive.replica().item(ino)) handle->parent = self->parent;
        fuse_file_info opened = info;
        opened.fh = drive.keepHandle(std::move(handle));
        if (fuse_reply_open(req, &opened) != 0) drive.closeHandle(opened.fh);
      }));
}

void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  driveOf(req).closeHandle(fi->fh);
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
      const auto& child = handle->entries[static_cast<size_t>(at - 2)];
      fuse_entry_param entry{};
      entry.ino = child.attr.st_ino;
      entry.attr = child.attr;
      entry.attr_timeout = kCacheTimeout;
      entry.entry_timeout = kCacheTimeout;
      applyLocal(drive, child.contentFile, entry.attr);
      needed = plus ? fuse_add_direntry_plus(req, buffer.data() + used, room, child.name.c_str(),
                                             &entry, at + 1)
                    : fuse_add_direntry(req, buffer.data() + used, room, child.name.c_str(),
                                        &entry.attr, at + 1);
      if (needed <= room && plus) drive.replica().remember(entry.ino);
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

// An open file: the descriptor of its cached contents, which follows the item's current
// cached file (a file written anew, an edit copied before a write, the server's new version):
// what a read returns is what the kernel shows every other handle. Handles open for writing
// share the item's OpenFile.
struct Handle final : FuseDrive::OpenHandle {
  int fd = -1;
  std::uint64_t item = 0;
  std::int64_t contentFile = 0;  // the cached file `fd` is open on
  bool append = false;
  std::shared_ptr<FuseDrive::OpenFile> file;  // for writing only
  std::mutex mutex;                           // guards `fd` of a handle for reading only

  ~Handle() override {
    if (fd >= 0) ::close(fd);
  }
  // The last writer hands the edit over.
  void close(FuseDrive& drive) override {
    if (!file) return;
    {
      std::lock_guard lock(file->mutex);
      if (--file->writers == 0) {
        if (!file->dirty) {
          drive.replica().clearEdited(file->item);
        } else if (drive.commitEdit(file->item) == 0) {
          // Kept in the cached file, and marked, when it cannot be handed over; the status
          // tells.
          file->dirty = false;
          file->handedOver = true;
        }
      }
    }
    drive.releaseFile(file);
  }
};

Handle* handleOf(fuse_file_info* fi) { return reinterpret_cast<Handle*>(fi->fh); }

// How many times an open fetches contents the cache evicted under it before it gives up.
constexpr int kOpenAttempts = 3;

void fetchThenOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, int attempt);
void openForWriting(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, bool truncate,
                    const fuse_entry_param* entry, int attempt = 0);

// Opens the cached contents and answers the open. `keepCache`: the contents are those the
// kernel may already hold in its page cache.
void replyOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, bool keepCache,
               int attempt = 0) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  const int fd =
      item->contentFile
          ? ::open(drive.replica().contentsPath(*item->contentFile).c_str(), O_RDONLY | O_CLOEXEC)
          : -1;
  if (fd < 0) {
    const int error = item->contentFile ? errno : ENOENT;
    // Evicted between the look at the cache and the open: fetched again.
    if (error == ENOENT && item->identifier && attempt < kOpenAttempts) {
      return fetchThenOpen(req, ino, info, attempt + 1);
    }
    return (void)fuse_reply_err(req, error);
  }
  auto handle = std::make_unique<Handle>();
  handle->fd = fd;
  handle->item = ino;
  handle->contentFile = *item->contentFile;
  info.fh = drive.keepHandle(std::move(handle));
  info.keep_cache = keepCache;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  drive.replica().touch(ino, now);
  if (fuse_reply_open(req, &info) != 0) drive.closeHandle(info.fh);
}

// Points the handle at the item's current cached file, making a copy of its own first when
// `forWriting` and the current one belongs to the upload queue. Under handle.file->mutex, or
// handle.mutex for a handle open for reading only.
int followContents(FuseDrive& drive, Handle& handle, bool forWriting) {
  // The item a writer's file stands for now (another one's, once renamed over it).
  const std::uint64_t id = handle.file ? handle.file->item : handle.item;
  auto item = drive.replica().item(id);
  if (!item || !item->contentFile) return 0;  // deleted: the descriptor keeps what it has
  if (forWriting) {
    FuseDrive::OpenFile& file = *handle.file;
    try {
      // Before the first change: a worker killed from here on hands the edit over when it
      // starts again (an open that writes nothing leaves nothing to send).
      if (!file.dirty) drive.replica().markEdited(id);
      if (file.handedOver) {
        drive.replica().freshContents(id, false);
        file.handedOver = false;
        item = drive.replica().item(id);
      }
    } catch (const std::system_error& e) {
      return e.code().value();
    } catch (const std::exception&) {
      return EIO;
    }
  }
  if (*item->contentFile == handle.contentFile) return 0;
  const int fd =
      ::open(drive.replica().contentsPath(*item->contentFile).c_str(),
             (handle.file ? O_RDWR : O_RDONLY) | O_CLOEXEC | (handle.append ? O_APPEND : 0));
  if (fd < 0) return errno;
  ::close(handle.fd);
  handle.fd = fd;
  handle.contentFile = *item->contentFile;
  return 0;
}

// Opens the item for writing: in place, or in a file of its own when the current one was
// handed to the upload queue, empty when `truncate`. Answers with fuse_reply_create when
// `entry` is given, else fuse_reply_open. `attempt`: how many times its contents were
// fetched again after the cache evicted them.
void openForWriting(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, bool truncate,
                    const fuse_entry_param* entry, int attempt) {
  FuseDrive& drive = driveOf(req);
  auto file = drive.acquireFile(ino);
  auto handle = std::make_unique<Handle>();
  handle->item = ino;
  handle->append = (info.flags & O_APPEND) != 0;
  handle->file = file;
  int error = 0;
  bool refetch = false;
  {
    std::lock_guard lock(file->mutex);
    try {
      // A new or emptied file is an edit already (see followContents() for the others).
      if (truncate || entry) drive.replica().markEdited(ino);
      // Other writers share the file they write; otherwise a file the queue holds is not
      // written in place.
      const bool shared = file->writers > 0 && !file->handedOver;
      if (!shared && (file->handedOver || drive.uploads().holds(ino))) file->handedOver = true;
      if (truncate && !shared) {
        drive.replica().freshContents(ino, true);
        file->handedOver = false;
      } else if (file->handedOver) {
        drive.replica().freshContents(ino, false);
        file->handedOver = false;
      }
      const auto item = drive.replica().item(ino);
      if (!item || !item->contentFile) {
        error = ENOENT;
        // Evicted since open() looked (once held here, nothing evicts it): fetched again.
        refetch = item && item->identifier && !entry && attempt < kOpenAttempts;
      } else {
        const auto path = drive.replica().contentsPath(*item->contentFile);
        handle->fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (handle->append ? O_APPEND : 0));
        if (handle->fd < 0) error = errno;
        handle->contentFile = *item->contentFile;
        if (error == 0 && truncate && shared && ::ftruncate(handle->fd, 0) != 0) error = errno;
      }
    } catch (const std::system_error& e) {
      error = e.code().value() != 0 ? e.code().value() : EIO;
    } catch (const std::exception&) {
      error = EIO;
    }
    if (error == 0) {
      ++file->writers;
      if (truncate || entry) file->dirty = true;
    } else if (file->writers == 0 && !file->dirty) {
      drive.replica().clearEdited(ino);
    }
  }
  if (error != 0) {
    drive.releaseFile(file);
    if (refetch) return fetchThenOpen(req, ino, info, attempt + 1);
    return (void)fuse_reply_err(req, error);
  }
  if (truncate || entry) drive.setLocalTime(ino, now());
  info.fh = drive.keepHandle(std::move(handle));
  info.keep_cache = !truncate;
  // Nothing reads through a handle open for writing only: its writes come straight from the
  // writer's memory instead of through the kernel's copy of the file (which the kernel drops
  // where they land), one copy fewer on the way to the disk.
  info.direct_io = (info.flags & O_ACCMODE) == O_WRONLY;
  const int replied = entry ? fuse_reply_create(req, entry, &info) : fuse_reply_open(req, &info);
  // The caller went away: the handle is closed as a release would.
  if (replied != 0) drive.closeHandle(info.fh);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  FuseDrive& drive = driveOf(req);
  ino = drive.forwarded(ino);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  if (item->isContainer()) return (void)fuse_reply_err(req, EISDIR);
  const fuse_file_info info = *fi;
  const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  const bool truncate = writing && (fi->flags & O_TRUNC);
  // An edit waiting for the server is the file's contents, whatever the server has now.
  const bool local = item->contentFile && (item->contentsCurrent() || drive.uploads().holds(ino) ||
                                           drive.replica().edited(ino));
  if (writing) {
    if (truncate || local || !item->identifier) {
      return openForWriting(req, ino, info, truncate, nullptr);
    }
    // Offline, a file already downloaded is edited as it is; its upload finds out whether
    // the server moved on meanwhile.
    if (drive.offline() && item->contentFile) {
      return openForWriting(req, ino, info, false, nullptr);
    }
    return fetchThenOpen(req, ino, info, 0);
  }
  if (local) return replyOpen(req, ino, info, true);
  // Offline, an older download still beats no file at all.
  if (drive.offline() && item->contentFile) return replyOpen(req, ino, info, false);
  fetchThenOpen(req, ino, info, 0);
}

// Fetches the document's contents, then answers the open: for writing when `info` says so.
void fetchThenOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info info, int attempt) {
  driveOf(req).ensureFetched(
      ino, later(req, [ino, info, attempt](fuse_req_t req, int error) {
        FuseDrive& drive = driveOf(req);
        const bool writing = (info.flags & O_ACCMODE) != O_RDONLY;
        if (error != 0) {
          const auto stale = drive.replica().item(ino);
          if (!writing && error == ENETUNREACH && stale && stale->contentFile) {
            return replyOpen(req, ino, info, false, kOpenAttempts);
          }
          return (void)fuse_reply_err(req, error);
        }
        // The kernel may hold the provisional size: it drops it before the first read.
        drive.beginAsync();
        drive.invalidate({{ino}, {}}, [&drive, req, ino, info, writing, attempt] {
          if (writing) {
            openForWriting(req, ino, info, false, nullptr, attempt);
          } else {
            replyOpen(req, ino, info, false, attempt);
          }
          drive.endAsync();
        });
      }));
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  Handle& handle = *handleOf(fi);
  // Held until the reply has read the descriptor, which following closes.
  std::lock_guard lock(handle.file ? handle.file->mutex : handle.mutex);
  if (const int error = followContents(driveOf(req), handle, false)) {
    return (void)fuse_reply_err(req, error);
  }
  fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
  buffer.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffer.buf[0].fd = handle.fd;
  buffer.buf[0].pos = offset;
  fuse_reply_data(req, &buffer, FUSE_BUF_SPLICE_MOVE);
}

// Bytes written to a file after which the disk is asked to start writing them out.
constexpr std::int64_t kStartWritingOut = 8 << 20;

// Writes the request's data into the cached file. Where the kernel lets the session take a
// request into a pipe, the data goes from the pipe straight into the file, without a copy
// through this process.
void writeBuf(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* data, off_t offset, fuse_file_info* fi) {
  Handle& handle = *handleOf(fi);
  if (!handle.file) return (void)fuse_reply_err(req, EBADF);
  FuseDrive& drive = driveOf(req);
  ssize_t written = 0;
  {
    std::lock_guard lock(handle.file->mutex);
    if (const int error = followContents(drive, handle, true)) {
      return (void)fuse_reply_err(req, error);
    }
    fuse_bufvec target = FUSE_BUFVEC_INIT(fuse_buf_size(data));
    target.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    target.buf[0].fd = handle.fd;
    target.buf[0].pos = offset;
    // A file opened to append takes no splice: written with write(2), which appends.
    written = fuse_buf_copy(
        &target, data, handle.append ? FUSE_BUF_NO_SPLICE : static_cast<fuse_buf_copy_flags>(0));
    if (written < 0) return (void)fuse_reply_err(req, static_cast<int>(-written));
    handle.file->dirty = true;
    // An edit goes to the disk before its close returns: the disk starts on a long write as
    // it comes, so that the close has little left to wait for.
    handle.file->unsynced += written;
    if (handle.file->unsynced >= kStartWritingOut) {
      // What was just written (a file written in order): the rest of the file is on its way.
      const off_t end = offset + written;
      const off_t start = std::max<off_t>(0, end - handle.file->unsynced);
      ::sync_file_range(handle.fd, start, end - start, SYNC_FILE_RANGE_WRITE);
      handle.file->unsynced = 0;
    }
  }
  drive.setLocalTime(ino, now());
  fuse_reply_write(req, static_cast<size_t>(written));
}

void fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
               fuse_file_info* fi) {
  Handle& handle = *handleOf(fi);
  if (!handle.file) return (void)fuse_reply_err(req, EBADF);
  FuseDrive& drive = driveOf(req);
  {
    std::lock_guard lock(handle.file->mutex);
    if (const int error = followContents(drive, handle, true)) {
      return (void)fuse_reply_err(req, error);
    }
    if (::fallocate(handle.fd, mode, offset, length) != 0) {
      return (void)fuse_reply_err(req, errno);
    }
    handle.file->dirty = true;
  }
  drive.setLocalTime(ino, now());
  fuse_reply_err(req, 0);
}

void fsync(fuse_req_t req, fuse_ino_t, int dataOnly, fuse_file_info* fi) {
  // The local copy is on the disk; the upload follows on its own.
  Handle& handle = *handleOf(fi);
  std::lock_guard lock(handle.file ? handle.file->mutex : handle.mutex);
  const int result = dataOnly ? ::fdatasync(handle.fd) : ::fsync(handle.fd);
  fuse_reply_err(req, result == 0 ? 0 : errno);
}

void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  // The close of the only writer hands the edit over, so that a failure to keep it fails
  // the close. Writes after it (through a duplicate descriptor, a mapping) go to a new
  // file, handed over when the last handle goes.
  Handle& handle = *handleOf(fi);
  if (!handle.file) return (void)fuse_reply_err(req, 0);
  FuseDrive& drive = driveOf(req);
  std::lock_guard lock(handle.file->mutex);
  if (!handle.file->dirty || handle.file->writers != 1) return (void)fuse_reply_err(req, 0);
  // The item the file stands for now (another one's, once renamed over it).
  const int error = drive.commitEdit(handle.file->item);
  if (error == 0) {
    handle.file->dirty = false;
    handle.file->handedOver = true;
  }
  fuse_reply_err(req, error);
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  driveOf(req).closeHandle(fi->fh);
  fuse_reply_err(req, 0);
}

// Truncates the item's contents to `size` outside any open handle (truncate(1), an O_TRUNC
// open the kernel turned into a size change), then hands the edit over unless a writer will.
// `evicted` tells an ENOENT that came from the cache evicting the contents meanwhile: they
// can be fetched again.
int truncateClosed(FuseDrive& drive, fuse_ino_t ino, off_t size, bool& evicted) {
  evicted = false;
  auto file = drive.acquireFile(ino);  // from here on, nothing evicts the contents
  int error = 0;
  {
    std::lock_guard lock(file->mutex);
    const bool shared = file->writers > 0 && !file->handedOver;
    try {
      drive.replica().markEdited(ino);
      auto item = drive.replica().item(ino);
      const bool gone = item && !item->contentFile && item->identifier;
      if (!shared && (file->handedOver || drive.uploads().holds(ino) || (gone && size == 0))) {
        // Emptied, nothing of the old contents is needed, evicted or not.
        drive.replica().freshContents(ino, size == 0);
        file->handedOver = false;
        item = drive.replica().item(ino);
      }
      if (!item || !item->contentFile) {
        error = ENOENT;
        evicted = item && item->identifier;
      } else if (::truncate(drive.replica().contentsPath(*item->contentFile).c_str(), size) != 0) {
        error = errno;
      }
    } catch (const std::system_error& e) {
      error = e.code().value() != 0 ? e.code().value() : EIO;
    } catch (const std::exception&) {
      error = EIO;
    }
    if (error != 0 && file->writers == 0 && !file->dirty) drive.replica().clearEdited(ino);
    if (error == 0) {
      file->dirty = true;
      if (file->writers == 0) {
        error = drive.commitEdit(ino);
        if (error == 0) {
          file->dirty = false;
          file->handedOver = true;
        }
      }
    }
  }
  drive.releaseFile(file);
  if (error == 0) drive.setLocalTime(ino, now());
  return error;
}

void replyAttributes(fuse_req_t req, fuse_ino_t ino) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  struct stat attr = attributesOf(*item);
  applyLocal(drive, *item, attr);
  fuse_reply_attr(req, &attr, kCacheTimeout);
}

// The rest of a setattr once any size is set: the times, then the attributes as they are.
void setTimesThenReply(fuse_req_t req, fuse_ino_t ino, const struct stat& attr, int toSet) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  if (!item->isContainer() && (toSet & (FUSE_SET_ATTR_MTIME_NOW | FUSE_SET_ATTR_MTIME))) {
    drive.setLocalTime(ino, (toSet & FUSE_SET_ATTR_MTIME_NOW) ? now() : attr.st_mtim);
    try {
      drive.keepLocalTime(ino);
    } catch (const std::exception&) {
      // Shown until the drive stops, as the server keeps no times.
    }
  }
  replyAttributes(req, ino);
}

// Sets the size of a file through no handle of the caller's. Shortened or lengthened (not
// emptied), the rest of the contents comes from the server first, and again if the cache
// evicts it before the truncation holds it (`attempt` counts the fetches).
void truncateThenReply(fuse_req_t req, fuse_ino_t ino, struct stat wanted, int toSet, int attempt) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  const bool local = item->contentFile && (item->contentsCurrent() || drive.uploads().holds(ino) ||
                                           drive.replica().edited(ino));
  if (wanted.st_size != 0 && !local && item->identifier && attempt < kOpenAttempts) {
    return drive.ensureFetched(ino,
                               later(req, [ino, wanted, toSet, attempt](fuse_req_t req, int error) {
                                 if (error != 0) return (void)fuse_reply_err(req, error);
                                 truncateThenReply(req, ino, wanted, toSet, attempt + 1);
                               }));
  }
  bool evicted = false;
  const int error = truncateClosed(drive, ino, wanted.st_size, evicted);
  if (evicted && attempt < kOpenAttempts) {
    return truncateThenReply(req, ino, wanted, toSet, attempt + 1);
  }
  if (error != 0) return (void)fuse_reply_err(req, error);
  setTimesThenReply(req, ino, wanted, toSet);
}

void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  FuseDrive& drive = driveOf(req);
  ino = drive.forwarded(ino);
  const auto item = drive.replica().item(ino);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  // Modes and owners: the server keeps none, so they are taken without effect (cp -p and
  // rsync -a set them).
  if (toSet & FUSE_SET_ATTR_SIZE) {
    if (item->isContainer()) return (void)fuse_reply_err(req, EISDIR);
    Handle* handle = fi ? handleOf(fi) : nullptr;
    if (handle && handle->file) {
      std::lock_guard lock(handle->file->mutex);
      if (const int error = followContents(drive, *handle, true)) {
        return (void)fuse_reply_err(req, error);
      }
      if (::ftruncate(handle->fd, attr->st_size) != 0) return (void)fuse_reply_err(req, errno);
      handle->file->dirty = true;
      drive.setLocalTime(ino, now());
    } else {
      return truncateThenReply(req, ino, *attr, toSet, 0);
    }
  }
  setTimesThenReply(req, ino, *attr, toSet);
}

void statfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs info {};
  if (::statvfs(driveOf(req).options().stateDirectory.c_str(), &info) != 0) {
    return (void)fuse_reply_err(req, errno);
  }
  info.f_namemax = 255;
  fuse_reply_statfs(req, &info);
}

// --- Names: new files, folders, renames, deletions ---------------------------------------

// The errno for a change the item's capabilities forbid, checked before any request.
int refusedUnless(const ReplicaItem& item, ItemCapabilities capability) {
  return (item.capabilities & capability) ? 0 : EPERM;
}

// The workspace an item lies in (the root for the root and workspaces' parent).
std::uint64_t workspaceOf(FuseDrive& drive, std::uint64_t id) {
  for (int depth = 0; depth < 1024; ++depth) {
    const auto item = drive.replica().item(id);
    if (!item || item->kind == ItemKind::root) return Replica::kRootId;
    if (item->kind == ItemKind::workspace) return id;
    id = item->parent;
  }
  return Replica::kRootId;
}

// How long a metadata call waits for the server before it answers ETIMEDOUT. A change that
// lands after that shows through the change feed.
constexpr auto kMetadataLimit = std::chrono::seconds(30);

// One answer to a request waiting on the plug-in: from the completion, or ETIMEDOUT when
// the completion takes too long. claim() tells the completion whether it still answers.
class Deadline {
 public:
  static std::shared_ptr<Deadline> start(fuse_req_t req) {
    FuseDrive& drive = driveOf(req);
    auto deadline = std::shared_ptr<Deadline>(new Deadline(req, drive));
    drive.beginAsync();
    std::weak_ptr<Deadline> weak = deadline;
    const auto timer = drive.clock().schedule(kMetadataLimit, [weak] {
      if (auto self = weak.lock(); self && self->claimNoTimer()) {
        fuse_reply_err(self->req_, ETIMEDOUT);
        self->drive_.endAsync();
        self->drive_.catchUp();  // the change feed settles what happened
      }
    });
    std::lock_guard lock(deadline->mutex_);
    deadline->timer_ = timer;
    return deadline;
  }
  // True once: the caller answers req() and then calls done().
  bool claim() {
    if (!claimNoTimer()) return false;
    std::lock_guard lock(mutex_);
    drive_.clock().cancel(timer_);
    return true;
  }
  fuse_req_t req() const { return req_; }
  // Whether the call was answered already (by the time limit).
  bool answered() {
    std::lock_guard lock(mutex_);
    return answered_;
  }
  // After the answer (the request is gone then).
  void done() { drive_.endAsync(); }

 private:
  Deadline(fuse_req_t req, FuseDrive& drive) : req_(req), drive_(drive) {}
  bool claimNoTimer() {
    std::lock_guard lock(mutex_);
    if (answered_) return false;
    answered_ = true;
    return true;
  }
  std::mutex mutex_;
  fuse_req_t req_;
  FuseDrive& drive_;
  bool answered_ = false;
  Clock::TimerId timer_ = 0;
};

void replyEntry(fuse_req_t req, const ReplicaItem& item) {
  FuseDrive& drive = driveOf(req);
  fuse_entry_param entry = entryOf(item);
  applyLocal(drive, item, entry.attr);
  drive.replica().remember(item.id);
  if (fuse_reply_entry(req, &entry) != 0) drive.replica().forget(item.id, 1);
}

// Where a new item may go: a listed folder or workspace whose capabilities allow it.
int checkNewChild(FuseDrive& drive, const std::optional<ReplicaItem>& parent, const char* name) {
  if (!parent) return ENOENT;
  if (!parent->isContainer()) return ENOTDIR;
  if (parent->kind == ItemKind::root) return EPERM;  // workspaces are the server's
  if (const int error = refusedUnless(*parent, ItemCapability::allowsWriting)) return error;
  if (std::strlen(name) > kMaxNameBytes) return ENAMETOOLONG;
  (void)drive;
  return 0;
}

void createFile(fuse_req_t req, fuse_ino_t parent, const std::string& name, fuse_file_info info) {
  FuseDrive& drive = driveOf(req);
  const auto folder = drive.replica().item(parent);
  if (const int error = checkNewChild(drive, folder, name.c_str())) {
    return (void)fuse_reply_err(req, error);
  }
  if (const auto vacancy = drive.takeVacancy(parent, name)) {
    // The editor writes the document anew under its own name: the document it is.
    drive.invalidate(drive.replica().show(vacancy->document));
    const auto document = drive.replica().item(vacancy->document);
    if (document && document->shownName == name) {
      fuse_entry_param entry = entryOf(*document);
      drive.replica().remember(document->id);
      drive.setLocalTime(document->id, now());
      return openForWriting(req, document->id, info, true, &entry);
    }
  }
  if (const auto existing = drive.replica().child(parent, name)) {
    if (info.flags & O_EXCL) return (void)fuse_reply_err(req, EEXIST);
    if (existing->isContainer()) return (void)fuse_reply_err(req, EISDIR);
    // Opened as it is (the kernel looks names up first; this is a race with another call).
    fuse_entry_param entry = entryOf(*existing);
    drive.replica().remember(existing->id);
    return openForWriting(req, existing->id, info, (info.flags & O_TRUNC) != 0, &entry);
  }
  std::optional<ReplicaItem> made;
  try {
    auto [item, invalidations] = drive.replica().createLocal(parent, serverNameOf(name));
    drive.invalidate(std::move(invalidations));
    made = std::move(item);
  } catch (const std::system_error& e) {
    return (void)fuse_reply_err(req, e.code().value() != 0 ? e.code().value() : EIO);
  } catch (const std::exception&) {
    return (void)fuse_reply_err(req, EIO);
  }
  made = drive.replica().item(made->id);
  drive.setLocalTime(made->id, now());
  fuse_entry_param entry = entryOf(*made);
  drive.replica().remember(made->id);
  openForWriting(req, made->id, info, false, &entry);
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  FuseDrive& drive = driveOf(req);
  const fuse_file_info info = *fi;
  const auto folder = drive.replica().item(parent);
  if (folder && folder->isContainer() && !folder->childrenListed && folder->identifier) {
    // A name is only known to be free once the folder is listed.
    return drive.ensureListed(
        parent, later(req, [parent, name = std::string(name), info](fuse_req_t req, int error) {
          if (error != 0) return (void)fuse_reply_err(req, error);
          createFile(req, parent, name, info);
        }));
  }
  createFile(req, parent, name, info);
}

void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
  // Plain files only; the server keeps nothing else.
  if (!S_ISREG(mode)) return (void)fuse_reply_err(req, EPERM);
  FuseDrive& drive = driveOf(req);
  const auto folder = drive.replica().item(parent);
  if (const int error = checkNewChild(drive, folder, name)) return (void)fuse_reply_err(req, error);
  if (drive.replica().child(parent, name)) return (void)fuse_reply_err(req, EEXIST);
  try {
    auto [item, invalidations] = drive.replica().createLocal(parent, serverNameOf(name));
    drive.invalidate(std::move(invalidations));
    drive.setLocalTime(item.id, now());
    if (const int error = drive.commitEdit(item.id)) return (void)fuse_reply_err(req, error);
    replyEntry(req, *drive.replica().item(item.id));
  } catch (const std::system_error& e) {
    fuse_reply_err(req, e.code().value() != 0 ? e.code().value() : EIO);
  }
}

void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  FuseDrive& drive = driveOf(req);
  const auto folder = drive.replica().item(parent);
  if (const int error = checkNewChild(drive, folder, name)) return (void)fuse_reply_err(req, error);
  if (drive.replica().child(parent, name)) return (void)fuse_reply_err(req, EEXIST);
  if (drive.offline()) return (void)fuse_reply_err(req, ENETUNREACH);
  if (!folder->identifier) return (void)fuse_reply_err(req, EIO);
  auto deadline = Deadline::start(req);
  auto item = requestItem(ItemIdentifier(), *folder->identifier, serverNameOf(name), true);
  drive.extension().createItemBasedOnTemplate(
      item, ItemField::filename, std::nullopt, 0, Request{},
      [&drive, deadline](ItemPtr made, ItemFields, bool, ErrorPtr error) {
        drive.noteOutcome(error);
        std::optional<std::uint64_t> id;
        if (!error && made) {
          auto [added, invalidations] = drive.replica().applyItem(made);
          drive.invalidate(std::move(invalidations));
          id = added;
        }
        if (!deadline->claim()) return;
        const auto stored = id ? drive.replica().item(*id) : std::nullopt;
        if (error || !stored) {
          fuse_reply_err(deadline->req(), error ? errnoFor(error) : EIO);
        } else {
          replyEntry(deadline->req(), *stored);
        }
        deadline->done();
      });
}

// What a request goes on with once a step of it succeeded; it answers the request.
using Then = std::function<void(fuse_req_t req)>;

// Deletes the item on the server, then here; answers the request, or hands it to `then`
// once the item is gone.
void deleteOnServer(fuse_req_t req, const ReplicaItem& item, Then then = {}) {
  FuseDrive& drive = driveOf(req);
  auto deadline = Deadline::start(req);
  const std::uint64_t id = item.id;
  drive.extension().deleteItemWithIdentifier(
      *item.identifier, ItemVersion{item.contentVersion, item.metadataVersion}, 0, Request{},
      [&drive, deadline, id, then = std::move(then)](ErrorPtr error) {
        drive.noteOutcome(error);
        // Gone on the server already: gone here too.
        if (!error || errnoFor(error) == ENOENT) {
          drive.uploads().discard(id);
          drive.invalidate(drive.replica().remove(id));
          error = nullptr;
        }
        if (!deadline->claim()) return;
        if (!error && then) {
          then(deadline->req());
        } else {
          fuse_reply_err(deadline->req(), errnoFor(error));
        }
        deadline->done();
      });
}

// Deletes a folder, then answers or goes on as deleteOnServer(). The server deletes a folder
// with everything in it: only one that it lists empty goes, else ENOTEMPTY.
void deleteEmptyFolder(fuse_req_t req, const ReplicaItem& folder, Then then = {}) {
  FuseDrive& drive = driveOf(req);
  if (const int error = refusedUnless(folder, ItemCapability::allowsDeleting)) {
    return (void)fuse_reply_err(req, error);
  }
  if (!drive.replica().children(folder.id).empty()) return (void)fuse_reply_err(req, ENOTEMPTY);
  if (drive.offline()) return (void)fuse_reply_err(req, ENETUNREACH);
  if (!folder.identifier) return (void)fuse_reply_err(req, EIO);
  const std::uint64_t id = folder.id;
  drive.relist(id, later(req, [id, then = std::move(then)](fuse_req_t req, int error) {
                 if (error != 0) return (void)fuse_reply_err(req, error);
                 FuseDrive& drive = driveOf(req);
                 const auto listed = drive.replica().item(id);
                 if (!listed) return (void)fuse_reply_err(req, ENOENT);
                 if (!drive.replica().children(id).empty()) {
                   return (void)fuse_reply_err(req, ENOTEMPTY);
                 }
                 // Answered from the deletion: this request stays counted until then.
                 deleteOnServer(req, *listed, then);
               }));
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().child(parent, name);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  if (item->isContainer()) return (void)fuse_reply_err(req, EISDIR);
  if (const auto vacancy = drive.takeVacancyOf(item->id)) {
    // The backup of a document nothing replaced: deleting it deletes the document.
    const auto document = drive.replica().item(vacancy->document);
    if (document && document->identifier) {
      if (drive.offline()) {
        drive.leaveVacancy(parent, document->shownName, *vacancy);
        return (void)fuse_reply_err(req, ENETUNREACH);
      }
      drive.uploads().discard(item->id);
      drive.invalidate(drive.replica().remove(item->id));
      return deleteOnServer(req, *document);
    }
  }
  if (!item->identifier) {
    // Never reached the server (or is reaching it now: the queue deletes it again).
    drive.uploads().discard(item->id);
    drive.invalidate(drive.replica().remove(item->id));
    return (void)fuse_reply_err(req, 0);
  }
  if (const int error = refusedUnless(*item, ItemCapability::allowsDeleting)) {
    return (void)fuse_reply_err(req, error);
  }
  if (drive.offline()) return (void)fuse_reply_err(req, ENETUNREACH);
  deleteOnServer(req, *item);
}

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  FuseDrive& drive = driveOf(req);
  const auto item = drive.replica().child(parent, name);
  if (!item) return (void)fuse_reply_err(req, ENOENT);
  if (!item->isContainer()) return (void)fuse_reply_err(req, ENOTDIR);
  deleteEmptyFolder(req, *item);
}

void symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
  fuse_reply_err(req, EPERM);  // the server has documents and folders only
}

void link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }

// `source` (a file not on the server yet) was renamed over `target`: the target keeps its
// identity and gets the new contents, as editors that save through a temporary file mean.
void replaceWithLocal(fuse_req_t req, const ReplicaItem& source, const ReplicaItem& target,
                      fuse_ino_t newParent, const std::string& newName) {
  FuseDrive& drive = driveOf(req);
  auto sourceFile = drive.acquireFile(source.id);
  auto targetFile = drive.acquireFile(target.id);
  int error = 0;
  {
    std::scoped_lock lock(sourceFile->mutex, targetFile->mutex);
    drive.uploads().discard(source.id);
    Invalidations invalidations = drive.replica().replaceContents(target.id, source.id);
    // The kernel moved the source's entry to the new name: it looks the target up again, and
    // until then opens the source's inode, which stands for the target.
    drive.forward(source.id, target.id);
    invalidations.entries.emplace_back(newParent, newName);
    drive.invalidate(std::move(invalidations));
    drive.moveLocalTime(source.id, target.id);
    error = drive.commitEdit(target.id);
    targetFile->handedOver = error == 0;
    if (sourceFile->writers > 0) {
      // Still being written: its handles go on in a copy of the target's file, handed over
      // when they close.
      sourceFile->item = target.id;
      sourceFile->handedOver = true;
    }
  }
  drive.releaseFile(sourceFile);
  drive.releaseFile(targetFile);
  fuse_reply_err(req, error);
}

// An editor renames a document to a backup name (`name~`) before it writes the document
// anew: the rename stays here, the backup a local file with the document's contents, and
// the document waits, on the server under its name, for the new file (see createFile).
void setAside(fuse_req_t req, const ReplicaItem& document, const std::optional<ReplicaItem>& old,
              const std::string& backupName) {
  FuseDrive& drive = driveOf(req);
  try {
    if (old) {
      drive.uploads().discard(old->id);
      drive.invalidate(drive.replica().remove(old->id));
    }
    auto [backup, made] = drive.replica().createLocal(document.parent, serverNameOf(backupName));
    drive.invalidate(std::move(made));
    Invalidations invalidations = drive.replica().setAside(document.id, backup.id);
    // The kernel moved the document's entry to the backup's name: it looks it up again.
    invalidations.entries.emplace_back(document.parent, backupName);
    drive.invalidate(std::move(invalidations));
    drive.moveLocalTime(document.id, backup.id);
    drive.leaveVacancy(document.parent, document.shownName, {document.id, backup.id});
  } catch (const std::system_error& e) {
    return (void)fuse_reply_err(req, e.code().value() != 0 ? e.code().value() : EIO);
  }
  fuse_reply_err(req, 0);
}

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
            const char* newName, unsigned flags) {
  FuseDrive& drive = driveOf(req);
  if (flags & RENAME_EXCHANGE) return (void)fuse_reply_err(req, EINVAL);
  const auto source = drive.replica().child(parent, name);
  if (!source) return (void)fuse_reply_err(req, ENOENT);
  const auto folder = drive.replica().item(newParent);
  if (!folder) return (void)fuse_reply_err(req, ENOENT);
  if (!folder->isContainer()) return (void)fuse_reply_err(req, ENOTDIR);
  if (std::strlen(newName) > kMaxNameBytes) return (void)fuse_reply_err(req, ENAMETOOLONG);
  const auto target = drive.replica().child(newParent, newName);
  if (target && target->id == source->id) return (void)fuse_reply_err(req, 0);
  if (target && (flags & RENAME_NOREPLACE)) return (void)fuse_reply_err(req, EEXIST);
  // Workspaces stay where the server has them, and nothing goes beside them.
  if (source->kind == ItemKind::workspace || folder->kind == ItemKind::root) {
    return (void)fuse_reply_err(req, EPERM);
  }
  // The server cannot move an item to another workspace: tools copy and delete instead.
  if (workspaceOf(drive, parent) != workspaceOf(drive, newParent)) {
    return (void)fuse_reply_err(req, EXDEV);
  }
  if (source->identifier && !source->isContainer() && parent == newParent &&
      UploadQueue::staysLocal(newName) && (!target || !target->identifier) && source->contentFile &&
      (source->contentsCurrent() || drive.uploads().holds(source->id)) &&
      !drive.openFile(source->id)) {
    return setAside(req, *source, target, newName);
  }
  std::optional<ReplicaItem> filled;
  if (!source->identifier && !target) {
    if (const auto vacancy = drive.takeVacancy(newParent, newName)) {
      // A backup renamed back: the document it stands for takes its contents.
      drive.invalidate(drive.replica().show(vacancy->document));
      filled = drive.replica().item(vacancy->document);
    }
  }
  if (filled) return replaceWithLocal(req, *source, *filled, newParent, newName);
  if (target) {
    if (target->isContainer() && !source->isContainer()) return (void)fuse_reply_err(req, EISDIR);
    if (!target->isContainer() && source->isContainer()) return (void)fuse_reply_err(req, ENOTDIR);
    if (target->isContainer()) {
      // A folder renamed over an empty one replaces it: that one goes first, then the rename
      // runs again and finds the name free. Nothing goes for a rename refused anyway.
      if ((newParent != parent && refusedUnless(*source, ItemCapability::allowsReparenting)) ||
          (serverNameOf(newName) != source->serverName &&
           refusedUnless(*source, ItemCapability::allowsRenaming))) {
        return (void)fuse_reply_err(req, EPERM);
      }
      return deleteEmptyFolder(req, *target,
                               [parent, name = std::string(name), newParent,
                                newName = std::string(newName), flags](fuse_req_t req) {
                                 rename(req, parent, name.c_str(), newParent, newName.c_str(),
                                        flags);
                               });
    }
    if (!source->identifier) return replaceWithLocal(req, *source, *target, newParent, newName);
  }
  const std::string serverName = serverNameOf(newName);
  if (!source->identifier) {
    // Not on the server yet: renamed here, and created there under its new name.
    drive.invalidate(drive.replica().moveLocal(source->id, newParent, serverName));
    if (const auto path = drive.replica().relativePath(source->id); path && folder->identifier) {
      drive.uploads().moved(source->id, *folder->identifier, serverName, *path);
    }
    // Its creation landed meanwhile, under the name it had: the server's follows.
    if (const auto now = drive.replica().item(source->id); now && now->identifier) {
      drive.placeOnServer(source->id, {*folder->identifier, serverName, now->contentVersion, true});
    }
    return (void)fuse_reply_err(req, 0);
  }
  ItemFields fields = 0;
  if (newParent != parent) fields |= ItemField::parentItemIdentifier;
  if (serverName != source->serverName) fields |= ItemField::filename;
  if ((fields & ItemField::parentItemIdentifier) &&
      refusedUnless(*source, ItemCapability::allowsReparenting)) {
    return (void)fuse_reply_err(req, EPERM);
  }
  if ((fields & ItemField::filename) && refusedUnless(*source, ItemCapability::allowsRenaming)) {
    return (void)fuse_reply_err(req, EPERM);
  }
  if (target && target->identifier && refusedUnless(*target, ItemCapability::allowsDeleting)) {
    return (void)fuse_reply_err(req, EPERM);
  }
  if (drive.offline()) return (void)fuse_reply_err(req, ENETUNREACH);
  if (!folder->identifier) return (void)fuse_reply_err(req, EIO);
  auto deadline = Deadline::start(req);
  auto item =
      requestItem(*source->identifier, *folder->identifier, serverName, source->isContainer());
  const std::uint64_t id = source->id;
  const std::optional<ReplicaItem> replaced = target;
  // No upload of the item runs meanwhile: the versions before and after the rename are then
  // the item's own, and an upload never sends the old name after it.
  drive.beginRename(id, [&drive, deadline, id, item, fields, replaced] {
    drive.uploads().pause(id, [&drive, deadline, id, item, fields, replaced] {
      // The caller was told the rename failed (it waited out the time limit behind an upload
      // of the item): it is not made later behind their back.
      if (deadline->answered()) {
        drive.uploads().resume(id);
        drive.endRename(id);
        return;
      }
      const auto current = drive.replica().item(id);
      const std::string versionBefore = current ? current->contentVersion : std::string();
      // The server may not have the item where the drive shows it yet (a placement still
      // unsettled, which this rename overtakes): name and folder both.
      const ItemFields sent =
          drive.isUnsettled(id) ? (ItemField::filename | ItemField::parentItemIdentifier) : fields;
      drive.extension().modifyItem(
          item, ItemVersion{versionBefore, current ? current->metadataVersion : std::string()},
          sent, std::nullopt, 0, Request{},
          [&drive, deadline, id, item, versionBefore, replaced](ItemPtr changed, ItemFields, bool,
                                                                ErrorPtr error) {
            drive.noteOutcome(error);
            if (!error && changed) {
              // What the name replaced goes: here at once, on the server by a deletion after the
              // rename (one that fails leaves the document there, shown again by a listing).
              if (replaced) {
                drive.uploads().discard(replaced->id);
                drive.invalidate(drive.replica().remove(replaced->id));
              }
              if (replaced && replaced->identifier) {
                drive.extension().deleteItemWithIdentifier(*replaced->identifier, ItemVersion{}, 0,
                                                           Request{}, [](ErrorPtr) {});
              }
              auto [stored, invalidations] = drive.replica().applyItem(changed, true);
              drive.invalidate(std::move(invalidations));
              drive.settled(id);  // a placement still unsettled is overtaken by this one
              if (const auto path = drive.replica().relativePath(id)) {
                drive.uploads().moved(id, changed->parentItemIdentifier(), changed->filename(),
                                      *path, versionBefore, changed->itemVersion().contentVersion);
              }
            } else if (!error) {
              error = std::make_shared<const ErrorObject>(std::string(NSPOSIXErrorDomain), EIO,
                                                          "the rename gave no item");
            }
            const int code = errnoFor(error);
            // A failure that may have come after the server acted: found out before the item
            // uploads again (its uploads stay paused until then).
            const bool unknown = code != 0 && code != ENOENT && code != EACCES && code != EPERM;
            if (!unknown || !drive.settleLater(id, {item->parentItemIdentifier(), item->filename(),
                                                    versionBefore, false})) {
              drive.uploads().resume(id);
            }
            drive.endRename(id);
            if (!deadline->claim()) return;
            fuse_reply_err(deadline->req(), code);
            deadline->done();
          });
    });
  });
}

// Extended attributes: the server keeps none.
void setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
  fuse_reply_err(req, ENOTSUP);
}
void removexattr(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, ENOTSUP); }

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
  ops.fsync = fsync;
  ops.statfs = statfs;
  ops.mknod = mknod;
  ops.mkdir = mkdir;
  ops.unlink = unlink;
  ops.rmdir = rmdir;
  ops.symlink = symlink;
  ops.rename = rename;
  ops.link = link;
  ops.write_buf = writeBuf;
  ops.create = create;
  ops.setxattr = setxattr;
  ops.removexattr = removexattr;
  ops.fallocate = fallocate;
  return ops;
}();

}  // namespace

const fuse_lowlevel_ops& driveOperations() { return kOperations; }

}  // namespace folium::platform::drive

// The data of a copy: clone, extents, copy_file_range, read and write.
#include "engine/linux/copydata.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "engine/linux/posixfd.h"

namespace tandrel {

namespace {

// The backup ends with a flush of what it wrote. A large file's data starts
// on its way to the disk while the copy goes on, a few MiB at a time, so that
// the flush finds little left to write (SYNC_FILE_RANGE_WRITE only starts the
// writeback and waits for nothing). Small files are left to the flush, which
// writes them together.
class Writeback {
public:
    static constexpr off_t kStep = off_t {8} << 20;
    static constexpr off_t kSmallest = off_t {1} << 20;

    Writeback(int out, off_t size) : out_(out), size_(size), enabled_(size >= kSmallest) {}
    // The copy has written its bytes up to `done`.
    void Written(off_t done)
    {
        if (!enabled_ || done <= started_) return;
        if (done - started_ < kStep / 2 && done < size_) return;
        // A file system without it (FUSE) just leaves it all to the flush.
        if (::sync_file_range(out_, started_, done - started_, SYNC_FILE_RANGE_WRITE) != 0) enabled_ = false;
        started_ = done;
    }

private:
    int out_;
    off_t size_;
    bool enabled_;
    off_t started_ = 0;
};

// Copies bytes from `at` on, to the same offsets: `length` of them, or with
// `toEnd` all there are. copy_file_range while it works, else read and
// write; a refusal before the first byte moved is no failure.
class RangeCopier {
public:
    RangeCopier(SystemCalls& calls, int in, int out, Writeback& writeback, ReadHash* hash)
        : calls_(calls), in_(in), out_(out), writeback_(writeback), hash_(hash), inKernel_(!hash || !hash->readAll)
    {
    }

    // Whether every byte up to `size` (-1: the end, for a file read to its
    // end) went through the hash, the holes between them as zeros; the hash
    // is then complete.
    bool HashedWhole(off_t size)
    {
        if (!hash_ || inKernelUsed_) return false;
        if (size < 0) return true;
        if (hashedTo_ > size) return false;
        hash_->hasher.AddZeros(static_cast<std::uint64_t>(size - hashedTo_));
        hashedTo_ = size;
        return true;
    }

    int Copy(off_t at, off_t length, bool toEnd)
    {
        const off_t end = at + length;
        for (off_t done = at; toEnd || done < end;) {
            const std::size_t chunk =
                static_cast<std::size_t>(toEnd ? kBuffer : std::min(end - done, Writeback::kStep));
            const ssize_t n = inKernel_ ? CopyInKernel(done, chunk) : ReadAndWrite(done, chunk);
            if (n == 0) return 0;  // the end, or the source got shorter meanwhile
            if (n < 0) {
                if (errno == EINTR) continue;
                // Refused before any byte moved (across file systems, or a file
                // system without it, even at the end of an empty file).
                if (inKernel_ && done == at && (posix::IsRefusal(errno) || errno == EXDEV)) {
                    inKernel_ = false;
                    continue;
                }
                return errno;
            }
            done += n;
            writeback_.Written(done);
        }
        return 0;
    }

private:
    static constexpr std::size_t kBuffer = std::size_t {1} << 20;

    ssize_t CopyInKernel(off_t at, std::size_t chunk)
    {
        off_t from = at, to = at;
        const ssize_t n = calls_.CopyFileRange(in_, &from, out_, &to, chunk);
        if (n > 0) inKernelUsed_ = true;
        return n;
    }
    ssize_t ReadAndWrite(off_t at, std::size_t chunk)
    {
        if (!buffer_) buffer_.reset(new char[kBuffer]);
        const ssize_t n = ::pread(in_, buffer_.get(), std::min(chunk, kBuffer), at);
        if (n <= 0) return n;
        // Ranges come in order; what lies between two is a hole.
        if (hash_ && at >= hashedTo_) {
            hash_->hasher.AddZeros(static_cast<std::uint64_t>(at - hashedTo_));
            hash_->hasher.Add(buffer_.get(), static_cast<std::size_t>(n));
            hashedTo_ = at + n;
        } else if (hash_) {
            inKernelUsed_ = true;  // out of order: the hash can't be trusted
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w =
                ::pwrite(out_, buffer_.get() + written, static_cast<std::size_t>(n - written), at + written);
            if (w < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            written += w;
        }
        return n;
    }

    SystemCalls& calls_;
    int in_, out_;
    Writeback& writeback_;
    ReadHash* hash_;
    bool inKernel_;
    bool inKernelUsed_ = false;  // some bytes went by copy_file_range, unread
    off_t hashedTo_ = 0;
    std::unique_ptr<char[]> buffer_;
};

// A sparse file: only its data is copied, and its holes stay holes. -1 when
// the file system can't tell where the data lies.
int CopyExtents(SystemCalls& calls, int in, int out, off_t size, RangeCopier& copier)
{
    for (off_t at = 0; at < size;) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole to the end
            return at == 0 ? -1 : errno;
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) return at == 0 ? -1 : errno;
        hole = std::min(hole, size);
        if (const int error = copier.Copy(data, hole - data, false)) return error;
        at = hole;
    }
    if (calls.Ftruncate(out, size) == 0) return 0;
    // A file system that can't extend a file that way (fusefat) takes the
    // last byte of the hole written out.
    const char zero = 0;
    return ::pwrite(out, &zero, 1, size - 1) == 1 ? 0 : errno;
}

}  // namespace

int CopyData(SystemCalls& calls, int in, int out, const struct stat& source, DestinationCaps& caps, ReadHash* hash)
{
    SharedValue<dev_t>& cloneRefusedFrom = caps.cloneRefusedFrom;
    const off_t size = source.st_size;
    if (hash) {
        hash->hasher.Reset();
        hash->whole = false;
    }
    // A file system that can't share blocks (or not across these two) says
    // so once; the files that follow skip the question.
    if (size > 0 && cloneRefusedFrom.load(std::memory_order_relaxed) != source.st_dev) {
        if (calls.Clone(out, in) == 0) return 0;
        if (errno == EOPNOTSUPP || errno == EXDEV || errno == ENOTTY || errno == EINVAL)
            cloneRefusedFrom.store(source.st_dev, std::memory_order_relaxed);
    }
    Writeback writeback(out, size);
    RangeCopier copier(calls, in, out, writeback, hash);
    if (size > 0 && static_cast<off_t>(source.st_blocks) * 512 < size) {
        const int error = CopyExtents(calls, in, out, size, copier);
        if (error == 0 && hash) hash->whole = copier.HashedWhole(size);
        if (error >= 0) return error;
    }
    // The size fstat gave is the copy's, but for files that report none
    // (kernel files), which are read to their end.
    const int error = copier.Copy(0, size, size == 0);
    if (error == 0 && hash) hash->whole = copier.HashedWhole(size == 0 ? -1 : size);
    return error;
}

}  // namespace tandrel

// Following an rclone mount's uploads: which process serves a mount, where its
// cache keeps a file's state, and the wait that ends when nothing moves.
#include <gtest/gtest.h>

#include "engine/linux/uploads.h"

namespace tandrel {
namespace {

const MountEntry kMount {"fuse.rclone", "cloud:backups/laptop", "/media/cloud"};

TEST(RcloneMount, IsFoundFromTheCommandThatStartedIt)
{
    // A mount point given relative to the process's folder, the cache folder
    // as "--name=value", the cache mode that makes a backup reliable.
    auto found = ParseRcloneMount(kMount,
                                  {"/usr/bin/rclone", "--cache-dir=../cache", "mount", "cloud:backups/laptop", "cloud",
                                   "--vfs-cache-mode", "writes", "--log-file", "rclone.log"},
                                  {{"HOME", "/home/ann"}}, "/media");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->remote, "cloud");
    EXPECT_EQ(found->remoteRoot, "backups/laptop");
    EXPECT_EQ(found->cacheDir, "/cache");
    EXPECT_EQ(found->logPath, "/media/rclone.log");
    EXPECT_TRUE(found->missingOptions.empty());
    EXPECT_EQ(RcloneMetaPath(*found, "/media/cloud/docs/a.txt"), "/cache/vfsMeta/cloud/backups/laptop/docs/a.txt");
    EXPECT_EQ(RcloneMetaPath(*found, "/media/cloudy/a.txt"), "");

    // rclone's own default cache, and a mount without a cache for writes is
    // named for what it lacks.
    found = ParseRcloneMount(kMount, {"rclone", "mount", "cloud:backups/laptop", "/media/cloud"},
                             {{"HOME", "/home/ann"}}, "/");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->cacheDir, "/home/ann/.cache/rclone");
    EXPECT_EQ(found->missingOptions, std::vector<std::string> {"--vfs-cache-mode writes"});

    // Another mount of the same remote, and another program, are not it.
    EXPECT_FALSE(ParseRcloneMount(kMount, {"rclone", "mount", "cloud:backups/laptop", "/media/other"}, {}, "/"));
    EXPECT_FALSE(ParseRcloneMount(kMount, {"rclone", "sync", "cloud:backups/laptop", "/media/cloud"}, {}, "/"));
    EXPECT_FALSE(ParseRcloneMount(kMount, {"sshfs", "mount", "cloud:backups/laptop", "/media/cloud"}, {}, "/"));
}

TEST(RcloneMount, OnlyAWholeRecordSaysAnUploadIsDone)
{
    EXPECT_TRUE(RcloneMetaUploaded("{\n\t\"Size\": 3,\n\t\"Dirty\": false\n}"));
    EXPECT_FALSE(RcloneMetaUploaded("{\n\t\"Size\": 3,\n\t\"Dirty\": true\n}"));
    // Read while the mount rewrites it.
    EXPECT_FALSE(RcloneMetaUploaded(""));
    EXPECT_FALSE(RcloneMetaUploaded("{\n\t\"Size\": 3,\n\t\"Dirty\": fal"));
}

TEST(RcloneMount, ItsLogTellsWhichUploadsFailedAndWhy)
{
    RcloneLog log("/nonexistent/rclone.log");
    log.Take(
        "2026/12/10 11:31:01 ERROR : docs/a:b.txt: vfs cache: failed to upload try #1, will retry in 10s: "
        "vfs cache: failed to transfer file from cache to remote: sftp: \"open /srv/docs/a:b.txt: operation not "
        "permitted\" (SSH_FX_FAILURE)\n"
        "2026/12/10 11:31:01 ERROR : docs/a:b.txt: Failed to copy: sftp: failure\n"
        "2026/12/10 11:31:02 NOTICE: docs/c.txt: vfs cache: failed to upload try #1 is not an error line\n"
        "2026/12/10 11:31:11 ERROR : docs/a:b.txt: vfs cache: failed to upload try #2, will retry in 20s: "
        "vfs cache: failed to transfer file from cache to remote: Not Found: 404 Not Found\n");
    const FailedUpload* failed = log.Of("docs/a:b.txt");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->tries, 2);
    EXPECT_EQ(failed->reason, "Not Found: 404 Not Found");
    EXPECT_FALSE(log.Of("docs/c.txt"));
}

TEST(RcloneMount, TheWaitEndsWithWhatIsNotUploadedOnceNothingMoves)
{
    // "b" is uploaded at the third look; "c" never is, and the mount stops
    // sending: the wait gives up on "c" with the reason of its one failed
    // try. "d" failed twice: the remote's answer, given up at once.
    int looks = 0;
    auto uploaded = [&](const std::string& file) {
        if (file == "a") return true;
        if (file == "b") return ++looks >= 3;
        return false;
    };
    auto failures = [](const std::string& file) {
        if (file == "c") return FailedUpload {1, "timed out"};
        if (file == "d") return FailedUpload {2, "refused"};
        return FailedUpload {};
    };
    int asked = 0;
    auto moving = [&] { return ++asked < 4; };
    const auto left = WaitForUploads({"a", "b", "c", "d"}, uploaded, failures, moving, std::chrono::milliseconds(30),
                                     std::chrono::milliseconds(1));
    EXPECT_EQ(left, (std::vector<NotUploadedFile> {{"d", "refused"}, {"c", "timed out"}}));
    EXPECT_GE(asked, 4);  // it waited past the last sign of work
}

}  // namespace
}  // namespace tandrel

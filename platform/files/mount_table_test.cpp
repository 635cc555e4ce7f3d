#include "platform/files/mount_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <tuple>

#include "platform/files/files_test_support.h"

namespace {

using namespace files_internal;

constexpr std::string_view kMountInfo =
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "21 26 0:20 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "101 26 0:55 / /mnt/My\\040Share rw,relatime shared:70 - cifs //fileserver/My\\040Share "
    "rw,vers=3.1.1\n"
    "102 26 0:56 / /mnt/nas rw,relatime - nfs4 nas.local:/export/home rw,vers=4.2\n"
    "103 26 0:57 / /home/ann/remote rw,nosuid,nodev shared:80 master:3 - fuse.sshfs "
    "ann@host.example:/srv/data rw,user_id=1000\n"
    "104 26 8:17 / /media/ann/USB\\011Tab\\012Line\\134Back rw - vfat /dev/sdb1 rw\n"
    "105 26 8:17 /sub /srv/bound rw - vfat /dev/sdb1 rw\n"
    "not a mount line\n"
    "106 26 x:1 / /bad rw - ext4 /dev/x rw\n"
    "107 26 0:58 / /tmp/no-separator rw ext4 /dev/y rw\n"
    "108 26 0:59 / /mnt/smb3 rw - smb3 //srv/share/sub/dir/ rw";

// A mount entry as "id parent major:minor|root|mount point|type|source|URL".
std::string Show(const MountEntry& m) {
  return std::to_string(m.mount_id) + " " + std::to_string(m.parent_id) + " " +
         std::to_string(m.major) + ":" + std::to_string(m.minor) + "|" + m.root + "|" +
         m.mount_point + "|" + m.fs_type + "|" + m.source + "|" + VolumeURLForMount(m);
}

TEST(MountTableTest, ParsesMountInfoLinesUndoesEscapesAndGivesURLs) {
  std::vector<std::string> shown;
  for (const MountEntry& mount : ParseMountInfo(kMountInfo)) shown.push_back(Show(mount));
  // Bad lines are skipped; the sshfs line has two optional fields, the last
  // line no line feed.
  const std::vector<std::string> expected = {
      "26 1 254:0|/|/|ext4|/dev/vda|file:///",
      "21 26 0:20|/|/proc|proc|proc|file:///proc/",
      "101 26 0:55|/|/mnt/My Share|cifs|//fileserver/My Share|smb://fileserver/My%20Share/",
      "102 26 0:56|/|/mnt/nas|nfs4|nas.local:/export/home|nfs://nas.local/export/home/",
      "103 26 0:57|/|/home/ann/remote|fuse.sshfs|ann@host.example:/srv/data|"
      "sftp://ann@host.example/srv/data/",
      "104 26 8:17|/|/media/ann/USB\tTab\nLine\\Back|vfat|/dev/sdb1|"
      "file:///media/ann/USB%09Tab%0ALine%5CBack/",
      "105 26 8:17|/sub|/srv/bound|vfat|/dev/sdb1|file:///srv/bound/",
      "108 26 0:59|/|/mnt/smb3|smb3|//srv/share/sub/dir/|smb://srv/share/sub/dir/"};
  EXPECT_EQ(shown, expected);
  EXPECT_TRUE(ParseMountInfo("").empty());
  EXPECT_TRUE(ParseMountInfo("\n\n").empty());
}

// The mount table's escapes are three octal digits within a byte, udev's
// "\xNN"; anything else stays as it is.
TEST(MountTableTest, UnescapesOnlyCompleteEscapes) {
  const std::pair<std::string, std::string> fields[] = {
      {"a\\040b", "a b"}, {"\\011\\012\\134\\101", "\t\n\\A"}, {"end\\04", "end\\04"},
      {"\\089", "\\089"}, {"\\", "\\"}, {"\\377", "\xFF"}, {"\\477", "\\477"}};
  for (const auto& [field, text] : fields) EXPECT_EQ(UnescapeMountField(field), text) << field;
  const std::pair<std::string, std::string> labels[] = {
      {"My\\x20Disk", "My Disk"}, {"a\\x2fb\\x5C", "a/b\\"}, {"\\xZZ\\x4", "\\xZZ\\x4"},
      {"plain", "plain"}};
  for (const auto& [label, text] : labels) EXPECT_EQ(UnescapeUdevLabel(label), text) << label;
}

TEST(MountTableTest, VolumeURLsBySourceShape) {
  // Sources of another shape give the mount point's URL.
  const char* const ssh = "fuse.sshfs";
  const struct { const char *type, *source, *url, *at = "/mnt/x"; } cases[] = {
      {"cifs", "//srv", "smb://srv/"}, {"cifs", "//srv/", "smb://srv/"},
      {"cifs", "//srv/50% of it", "smb://srv/50%25%20of%20it/"},
      {"cifs", "srv/share", "file:///mnt/x/"}, {"cifs", "///share", "file:///mnt/x/"},
      {"nfs", "nas:/", "nfs://nas/"}, {"nfs", "nas:/a b/", "nfs://nas/a%20b/"},
      {"nfs4", "[fe80::1]:/export", "nfs://[fe80::1]/export/"},
      {"nfs", "nas", "file:///mnt/x/"}, {"nfs", ":/export", "file:///mnt/x/"},
      {ssh, "host:/p", "sftp://host/p/"}, {ssh, "ann@host:", "sftp://ann@host/~/"},
      {ssh, "ann@host:docs/", "sftp://ann@host/~/docs/"}, {ssh, "ann@host:/", "sftp://ann@host/"},
      {ssh, "ann@[::1]:/srv", "sftp://ann@[::1]/srv/"},
      {ssh, "host:/mail@box", "sftp://host/mail@box/"}, {ssh, "no-colon", "file:///mnt/x/"},
      {"tmpfs", "tmpfs", "file:///run/user/1000/", "/run/user/1000"},
      {"ext4", "/dev/sdc1", "file:///mnt/bad%FF%20dir/", "/mnt/bad\xFF dir"}};
  for (const auto& c : cases) {
    MountEntry mount;
    mount.fs_type = c.type;
    mount.source = c.source;
    mount.mount_point = c.at;
    EXPECT_EQ(VolumeURLForMount(mount), c.url) << c.type << " " << c.source;
  }
}

TEST(MountTableTest, FindsTheMountOfAnItem) {
  const std::vector<MountEntry> mounts = ParseMountInfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 8:2 / /mnt/a rw - ext4 /dev/sda2 rw\n"
      "3 1 8:1 /srv /mnt/a/srv rw - ext4 /dev/sda1 rw\n"
      "4 1 8:2 / /mnt/a rw - ext4 /dev/sda2 rw\n");
  // {major, minor, path, the ID of the mount found (0: none)}: whole
  // components count, and of two mounts on one point the one on top.
  const std::tuple<std::uint32_t, std::uint32_t, std::string, int> cases[] = {
      {8, 1, "/etc/passwd", 1}, {8, 1, "/mnt/a/srv/x", 3}, {8, 1, "/mnt/a/srv", 3},
      {8, 1, "/mnt/a/srvx", 1}, {8, 2, "/mnt/a/b", 4},     {8, 2, "/elsewhere", 0},
      {9, 9, "/", 0}};
  for (const auto& [major, minor, path, id] : cases) {
    const MountEntry* found = FindMountForDevice(mounts, major, minor, path);
    EXPECT_EQ(found != nullptr ? found->mount_id : 0, id) << major << ":" << minor << " " << path;
  }
  EXPECT_EQ(FindMountById(mounts, 3)->mount_point, "/mnt/a/srv");
  EXPECT_EQ(FindMountById(mounts, 5), nullptr);
}

TEST(MountTableTest, VolumeNamesAndLabels) {
  MountEntry mount;
  mount.mount_point = "/";
  EXPECT_EQ(VolumeNameForMount(mount, std::nullopt), "Linux");
  EXPECT_EQ(VolumeNameForMount(mount, std::string("System")), "System");
  EXPECT_EQ(VolumeNameForMount(mount, std::string()), "Linux");
  mount.mount_point = "/media/ann/USB STICK";
  EXPECT_EQ(VolumeNameForMount(mount, std::nullopt), "USB STICK");
  EXPECT_EQ(VolumeNameForMount(mount, std::string("BACKUP")), "BACKUP");

  // The label is the name of the by-label link that leads to the device.
  kestrine_testing::ScopedTempDir temp;
  files_testing::MakeItems(temp, {"by-label/", "plain", "by-label/Not\\x20A\\x20Disk->../plain",
                                  "by-label/My\\x20Disk->../disk", "by-label/Gone->../missing"});
  if (mknod(temp.Join("disk").c_str(), S_IFBLK | 0600, makedev(7, 201)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  mount.major = 7;
  mount.minor = 201;
  EXPECT_EQ(LabelForMount(mount, temp.Join("by-label")), "My Disk");
  mount.minor = 202;
  EXPECT_EQ(LabelForMount(mount, temp.Join("by-label")), std::nullopt);
  mount.source = temp.Join("disk");  // Not under /dev: the source is not looked at.
  EXPECT_EQ(LabelForMount(mount, temp.Join("by-label")), std::nullopt);
  EXPECT_EQ(LabelForMount(mount, temp.Join("none")), std::nullopt);
}

TEST(MountTableTest, TheLiveTableHoldsTheRoot) {
  const std::optional<std::vector<MountEntry>> mounts = ReadMountTable();
  ASSERT_TRUE(mounts.has_value());
  int error = 0;
  const std::optional<ItemStatus> status = StatItem("/", &error);
  ASSERT_TRUE(status.has_value());
  // Found by device number alone too, as kernels without mount IDs in statx do.
  ItemStatus by_device = *status;
  by_device.mount_id.reset();
  for (const ItemStatus& item : {*status, by_device}) {
    const MountEntry* root = MountOfItem(*mounts, item, "/");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->mount_point, "/");
  }
  EXPECT_EQ(VolumeOfItem(by_device, "/"), VolumeOfItem(*status, "/"));

  EXPECT_FALSE(StatItem("/no/such/item", &error).has_value());
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(MissingItemStatus(ENOENT), fnfErr);
  EXPECT_EQ(MissingItemStatus(ENOTDIR), fnfErr);
  EXPECT_EQ(MissingItemStatus(EACCES), afpAccessDenied);
}

}  // namespace

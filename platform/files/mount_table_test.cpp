#include "platform/files/mount_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/files/files_test_support.h"

namespace {

using files_internal::MountEntry;
using files_internal::ParseMountInfo;
using files_internal::VolumeURLForMount;

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

TEST(MountTableTest, ParsesMountInfoLinesAndUndoesEscapes) {
  const std::vector<MountEntry> mounts = ParseMountInfo(kMountInfo);
  ASSERT_EQ(mounts.size(), 8u);

  EXPECT_EQ(mounts[0].mount_id, 26);
  EXPECT_EQ(mounts[0].parent_id, 1);
  EXPECT_EQ(mounts[0].major, 254u);
  EXPECT_EQ(mounts[0].minor, 0u);
  EXPECT_EQ(mounts[0].root, "/");
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[0].fs_type, "ext4");
  EXPECT_EQ(mounts[0].source, "/dev/vda");

  EXPECT_EQ(mounts[2].mount_point, "/mnt/My Share");
  EXPECT_EQ(mounts[2].source, "//fileserver/My Share");
  EXPECT_EQ(mounts[2].fs_type, "cifs");
  EXPECT_EQ(mounts[3].source, "nas.local:/export/home");
  EXPECT_EQ(mounts[4].fs_type, "fuse.sshfs") << "two optional fields";
  EXPECT_EQ(mounts[4].source, "ann@host.example:/srv/data");
  EXPECT_EQ(mounts[5].mount_point, "/media/ann/USB\tTab\nLine\\Back");
  EXPECT_EQ(mounts[6].root, "/sub");
  EXPECT_EQ(mounts[7].mount_id, 108) << "last line without a line feed";

  EXPECT_TRUE(ParseMountInfo("").empty());
  EXPECT_TRUE(ParseMountInfo("\n\n").empty());
}

TEST(MountTableTest, UnescapesOnlyThreeOctalDigits) {
  using files_internal::UnescapeMountField;
  EXPECT_EQ(UnescapeMountField("a\\040b"), "a b");
  EXPECT_EQ(UnescapeMountField("\\011\\012\\134\\101"), "\t\n\\A");
  EXPECT_EQ(UnescapeMountField("end\\04"), "end\\04");
  EXPECT_EQ(UnescapeMountField("\\089"), "\\089");
  EXPECT_EQ(UnescapeMountField("\\"), "\\");
  EXPECT_EQ(UnescapeMountField("\\377"), "\xFF");
  EXPECT_EQ(UnescapeMountField("\\477"), "\\477") << "beyond a byte";
}

TEST(MountTableTest, VolumeURLsByFileSystemType) {
  const std::vector<MountEntry> mounts = ParseMountInfo(kMountInfo);
  ASSERT_EQ(mounts.size(), 8u);
  EXPECT_EQ(VolumeURLForMount(mounts[0]), "file:///");
  EXPECT_EQ(VolumeURLForMount(mounts[1]), "file:///proc/");
  EXPECT_EQ(VolumeURLForMount(mounts[2]), "smb://fileserver/My%20Share/");
  EXPECT_EQ(VolumeURLForMount(mounts[3]), "nfs://nas.local/export/home/");
  EXPECT_EQ(VolumeURLForMount(mounts[4]), "sftp://ann@host.example/srv/data/");
  EXPECT_EQ(VolumeURLForMount(mounts[5]), "file:///media/ann/USB%09Tab%0ALine%5CBack/");
  EXPECT_EQ(VolumeURLForMount(mounts[7]), "smb://srv/share/sub/dir/");

  const auto url = [](std::string type, std::string source, std::string mount_point = "/mnt/x") {
    MountEntry entry;
    entry.fs_type = std::move(type);
    entry.source = std::move(source);
    entry.mount_point = std::move(mount_point);
    return VolumeURLForMount(entry);
  };
  EXPECT_EQ(url("cifs", "//srv"), "smb://srv/");
  EXPECT_EQ(url("cifs", "//srv/"), "smb://srv/");
  EXPECT_EQ(url("cifs", "//srv/50% of it"), "smb://srv/50%25%20of%20it/");
  EXPECT_EQ(url("cifs", "srv/share"), "file:///mnt/x/") << "not //server/share";
  EXPECT_EQ(url("cifs", "///share"), "file:///mnt/x/") << "no server";
  EXPECT_EQ(url("nfs", "nas:/"), "nfs://nas/");
  EXPECT_EQ(url("nfs", "nas:/a b/"), "nfs://nas/a%20b/");
  EXPECT_EQ(url("nfs4", "[fe80::1]:/export"), "nfs://[fe80::1]/export/");
  EXPECT_EQ(url("nfs", "nas"), "file:///mnt/x/");
  EXPECT_EQ(url("nfs", ":/export"), "file:///mnt/x/");
  EXPECT_EQ(url("fuse.sshfs", "host:/p"), "sftp://host/p/");
  EXPECT_EQ(url("fuse.sshfs", "ann@host:"), "sftp://ann@host/~/");
  EXPECT_EQ(url("fuse.sshfs", "ann@host:docs/"), "sftp://ann@host/~/docs/");
  EXPECT_EQ(url("fuse.sshfs", "ann@host:/"), "sftp://ann@host/");
  EXPECT_EQ(url("fuse.sshfs", "ann@[::1]:/srv"), "sftp://ann@[::1]/srv/");
  EXPECT_EQ(url("fuse.sshfs", "host:/mail@box"), "sftp://host/mail@box/");
  EXPECT_EQ(url("fuse.sshfs", "no-colon"), "file:///mnt/x/");
  EXPECT_EQ(url("tmpfs", "tmpfs", "/run/user/1000"), "file:///run/user/1000/");
  EXPECT_EQ(url("ext4", "/dev/sdc1", "/mnt/bad\xFF dir"), "file:///mnt/bad%FF%20dir/");
}

TEST(MountTableTest, FindsTheMountOfAnItem) {
  const std::vector<MountEntry> mounts = ParseMountInfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 8:2 / /mnt/a rw - ext4 /dev/sda2 rw\n"
      "3 1 8:1 /srv /mnt/a/srv rw - ext4 /dev/sda1 rw\n"
      "4 1 8:2 / /mnt/a rw - ext4 /dev/sda2 rw\n");
  using files_internal::FindMountForDevice;
  EXPECT_EQ(FindMountForDevice(mounts, 8, 1, "/etc/passwd")->mount_id, 1);
  EXPECT_EQ(FindMountForDevice(mounts, 8, 1, "/mnt/a/srv/x")->mount_id, 3);
  EXPECT_EQ(FindMountForDevice(mounts, 8, 1, "/mnt/a/srv")->mount_id, 3);
  EXPECT_EQ(FindMountForDevice(mounts, 8, 1, "/mnt/a/srvx")->mount_id, 1) << "whole components";
  EXPECT_EQ(FindMountForDevice(mounts, 8, 2, "/mnt/a/b")->mount_id, 4) << "the mount on top";
  EXPECT_EQ(FindMountForDevice(mounts, 8, 2, "/elsewhere"), nullptr);
  EXPECT_EQ(FindMountForDevice(mounts, 9, 9, "/"), nullptr);
  EXPECT_EQ(files_internal::FindMountById(mounts, 3)->mount_point, "/mnt/a/srv");
  EXPECT_EQ(files_internal::FindMountById(mounts, 5), nullptr);
}

TEST(MountTableTest, VolumeNamesAndLabels) {
  using files_internal::VolumeNameForMount;
  MountEntry root;
  root.mount_point = "/";
  MountEntry stick;
  stick.mount_point = "/media/ann/USB STICK";
  EXPECT_EQ(VolumeNameForMount(root, std::nullopt), "Linux");
  EXPECT_EQ(VolumeNameForMount(root, std::string("System")), "System");
  EXPECT_EQ(VolumeNameForMount(root, std::string()), "Linux");
  EXPECT_EQ(VolumeNameForMount(stick, std::nullopt), "USB STICK");
  EXPECT_EQ(VolumeNameForMount(stick, std::string("BACKUP")), "BACKUP");

  using files_internal::UnescapeUdevLabel;
  EXPECT_EQ(UnescapeUdevLabel("My\\x20Disk"), "My Disk");
  EXPECT_EQ(UnescapeUdevLabel("a\\x2fb\\x5C"), "a/b\\");
  EXPECT_EQ(UnescapeUdevLabel("\\xZZ\\x4"), "\\xZZ\\x4");
  EXPECT_EQ(UnescapeUdevLabel("plain"), "plain");
}

TEST(MountTableTest, LabelComesFromTheByLabelLinks) {
  files_testing::TempFolder temp;
  ASSERT_TRUE(files_testing::MakeFolder(temp / "by-label"));
  if (mknod((temp / "disk").c_str(), S_IFBLK | 0600, makedev(7, 201)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  ASSERT_TRUE(files_testing::MakeFile(temp / "plain"));
  ASSERT_EQ(symlink("../plain", (temp / "by-label/Not\\x20A\\x20Disk").c_str()), 0);
  ASSERT_EQ(symlink("../disk", (temp / "by-label/My\\x20Disk").c_str()), 0);
  ASSERT_EQ(symlink("../missing", (temp / "by-label/Gone").c_str()), 0);

  MountEntry mount;
  mount.mount_point = "/media/disk";
  mount.major = 7;
  mount.minor = 201;
  EXPECT_EQ(files_internal::LabelForMount(mount, temp / "by-label"), "My Disk");
  mount.minor = 202;
  EXPECT_EQ(files_internal::LabelForMount(mount, temp / "by-label"), std::nullopt);
  mount.source = temp / "disk";  // Not under /dev: the source is not looked at.
  EXPECT_EQ(files_internal::LabelForMount(mount, temp / "by-label"), std::nullopt);
  EXPECT_EQ(files_internal::LabelForMount(mount, temp / "none"), std::nullopt);
}

TEST(MountTableTest, TheLiveTableHoldsTheRoot) {
  const std::optional<std::vector<MountEntry>> mounts = files_internal::ReadMountTable();
  ASSERT_TRUE(mounts.has_value());
  int error = 0;
  const std::optional<files_internal::ItemStatus> status = files_internal::StatItem("/", &error);
  ASSERT_TRUE(status.has_value());
  const MountEntry* root = files_internal::MountOfItem(*mounts, *status, "/");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->mount_point, "/");

  // Found by device number alone, as kernels without mount IDs in statx do.
  files_internal::ItemStatus by_device = *status;
  by_device.mount_id.reset();
  const MountEntry* same = files_internal::MountOfItem(*mounts, by_device, "/");
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(same->mount_point, "/");
  EXPECT_EQ(files_internal::VolumeOfItem(by_device, "/"), files_internal::VolumeOfItem(*status, "/"));

  EXPECT_FALSE(files_internal::StatItem("/no/such/item", &error).has_value());
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(files_internal::MissingItemStatus(ENOENT), fnfErr);
  EXPECT_EQ(files_internal::MissingItemStatus(ENOTDIR), fnfErr);
  EXPECT_EQ(files_internal::MissingItemStatus(EACCES), afpAccessDenied);
}

}  // namespace

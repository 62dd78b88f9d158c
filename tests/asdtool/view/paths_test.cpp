// The viewer reads only below the card: what a request names is refused before it is opened when
// its text is wrong, and after resolution when a link leads out of the card.
#include <gtest/gtest.h>

#include "asd_builder.hpp"
#include "files.hpp"
#include "view_paths.hpp"

namespace {

using asd::view::PathVerdict;
using asd::view::resolve_below;
namespace fs = std::filesystem;

class Paths : public ::testing::Test {
  protected:
    void SetUp() override {
        viewtest::write_text(card / "data/rec00000000.asd", "x");
        viewtest::write_text(card / "snapshot/001-1.jpg", "x");
        viewtest::write_text(tmp.path() / "secret.txt", "outside");
        fs::create_directories(tmp.path() / "elsewhere");
        root = fs::canonical(card);
    }
    PathVerdict verdict(std::string_view relative) { return resolve_below(root, relative).verdict; }

    testsupport::TempDir tmp{"view-paths"};
    fs::path card = tmp.path() / "card";
    fs::path root;
};

TEST_F(Paths, FilesBelowTheCardResolve) {
    const auto r = resolve_below(root, "data/rec00000000.asd");
    EXPECT_EQ(r.verdict, PathVerdict::Ok);
    EXPECT_EQ(r.path, root / "data/rec00000000.asd");
    EXPECT_EQ(verdict("snapshot/001-1.jpg"), PathVerdict::Ok);
}

TEST_F(Paths, MalformedTextIsRefusedBeforeTheFileSystem) {
    for (const std::string_view bad :
         {"", "/etc/passwd", "//etc/passwd", "..", "../secret.txt", "data/../../secret.txt",
          "data/..", "./data/rec00000000.asd", "data/./rec00000000.asd", "data//rec00000000.asd",
          "data/", "data\\..\\..\\secret.txt", "data/rec\n.asd", "data/rec\x7f.asd"}) {
        const auto r = resolve_below(root, bad);
        EXPECT_EQ(r.verdict, PathVerdict::Malformed) << bad;
        EXPECT_FALSE(r.why.empty()) << bad;
    }
    EXPECT_EQ(verdict(std::string_view("data/rec\0.asd", 13)), PathVerdict::Malformed);
    EXPECT_EQ(verdict(std::string(256, 'a')), PathVerdict::Malformed);
    EXPECT_EQ(verdict(std::string(255, 'a')), PathVerdict::Missing);  // long, but a name
}

// A request names a file in one of the card's directories: the name is judged on its own.
TEST_F(Paths, ANameInADirectoryIsJudgedOnItsOwn) {
    EXPECT_EQ(resolve_below(root, "data", "rec00000000.asd").verdict, PathVerdict::Ok);
    const auto absolute = resolve_below(root, "data", "/etc/passwd");
    EXPECT_EQ(absolute.verdict, PathVerdict::Malformed);
    EXPECT_EQ(absolute.why, "absolute path");
    EXPECT_EQ(resolve_below(root, "data", "../snapshot/001-1.jpg").verdict, PathVerdict::Malformed);
    EXPECT_EQ(resolve_below(root, "data", "").verdict, PathVerdict::Malformed);
}

TEST_F(Paths, LinksOutOfTheCardAreRefused) {
    fs::create_symlink(tmp.path() / "secret.txt", card / "data/rec00000001.asd");
    fs::create_symlink("../../secret.txt", card / "data/rec00000002.asd");
    fs::create_directory_symlink(tmp.path() / "elsewhere", card / "data/sub");
    viewtest::write_text(tmp.path() / "elsewhere/rec00000003.asd", "x");
    fs::create_symlink(tmp.path() / "gone.txt", card / "data/dangling.asd");
    EXPECT_EQ(verdict("data/rec00000001.asd"), PathVerdict::Outside);
    EXPECT_EQ(verdict("data/rec00000002.asd"), PathVerdict::Outside);
    EXPECT_EQ(verdict("data/sub/rec00000003.asd"), PathVerdict::Outside);
    EXPECT_EQ(verdict("data/dangling.asd"), PathVerdict::Outside);
    // A card that is itself reached through a link is fine: only where a path ends counts.
    fs::create_directory_symlink(card, tmp.path() / "card-link");
    EXPECT_EQ(
        resolve_below(fs::canonical(tmp.path() / "card-link"), "data/rec00000000.asd").verdict,
        PathVerdict::Ok);
}

TEST_F(Paths, LinksWithinTheCardResolveToTheirTarget) {
    fs::create_symlink("rec00000000.asd", card / "data/latest.asd");
    const auto r = resolve_below(root, "data/latest.asd");
    EXPECT_EQ(r.verdict, PathVerdict::Ok);
    EXPECT_EQ(r.path, root / "data/rec00000000.asd");
}

TEST_F(Paths, WhatIsNotAFileIsMissing) {
    EXPECT_EQ(verdict("data/rec00000009.asd"), PathVerdict::Missing);
    EXPECT_EQ(verdict("data"), PathVerdict::Missing);
    EXPECT_EQ(verdict("nothing/here.jpg"), PathVerdict::Missing);
}

TEST(IsBelow, ComparesWholeComponents) {
    EXPECT_TRUE(asd::view::is_below("/a/card", "/a/card"));
    EXPECT_TRUE(asd::view::is_below("/a/card", "/a/card/data/x"));
    EXPECT_FALSE(asd::view::is_below("/a/card", "/a/card2/data"));
    EXPECT_FALSE(asd::view::is_below("/a/card", "/a"));
}

}  // namespace

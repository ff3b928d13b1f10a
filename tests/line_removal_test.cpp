// Removing the first line of the assignment file: results 0 and 6, the rest kept byte for byte, the checkpoint removed, failures stopping the process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "workfiles/assignment.h"
#include "workfiles/durable_file.h"
#include "workfiles/line_removal.h"
#include "workfiles_test_helpers.h"

namespace {

struct RemovalCase {
    const char* what;
    std::string content;
    int code;
    std::string left;
};

TEST(LineRemoval, FirstLineGoesAndTheRestStaysByteForByte) {
    const std::string line = "FermatFactor=40,50,3,1001\n";
    const std::string binary("\x00\xff\r\n\x7f tail", 10);
    const std::vector<RemovalCase> cases = {
        {"only line", line, 6, ""},
        {"only line without newline", "FermatFactor=40,50,3,1001", 6, ""},
        {"empty file", "", 6, ""},
        {"only a newline", "\n", 6, ""},
        {"first of two", line + "FermatFactor=60,61,5,7\n", 0, "FermatFactor=60,61,5,7\n"},
        {"second without newline", line + "last", 0, "last"},
        {"blank lines after", line + "\n  \n\n", 0, "\n  \n\n"},
        {"binary bytes after", line + binary, 0, binary},
        // Whole, in one rewrite: piece by piece a long line cost one rewrite per 99 characters.
        {"first line over 99 characters", std::string(150, 'x') + "\nnext\n", 0, "next\n"},
        {"first line of exactly 99 characters", std::string(99, 'y') + "\nnext\n", 0, "next\n"},
        {"first line of 98 characters", std::string(98, 'y') + "\nnext\n", 0, "next\n"},
        {"a megabyte first line", std::string(1 << 20, 'z') + "\nnext\n", 0, "next\n"},
        {"long last line without newline", std::string(300, 'w'), 6, ""},
        {"NUL inside the first line", std::string("Fermat\0Factor=40\nnext\n", 22), 0, "next\n"},
    };
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.content);
        writeFile(dir.file(CHECKPOINT_FILE), "nCurrent=45\n");
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), c.left);
        EXPECT_FALSE(fileExists(dir.file(CHECKPOINT_FILE)));
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt"}), "");
    }
}

// A checkpoint that names its line belongs to no blank or foreign line: the
// progress of the line below them stays. Others go with the line, as before.
TEST(LineRemoval, NamedCheckpointOfALineBelowOutlivesABlankOrForeignLine) {
    const std::string named = "nCurrent=45\nkCurrent=1001\nline    =FermatFactor=40,50,3,1001\n";
    const std::string below = "FermatFactor=40,50,3,1001\n";
    const struct {
        const char* what;
        std::string first, rest, checkpoint;
        bool kept;
    } cases[] = {
        {"blank line", "\n", below, named, true},
        {"blank line of spaces", " \t \n", below, named, true},
        {"foreign line", "# my queue\n", below, named, true},
        {"foreign line over 99 characters", std::string(120, '#') + "\n", below, named, true},
        {"the line itself, searched", below, below, named, false},
        {"an invalid line", "FermatFactor=31,40,3,1001\n", below, named, false},
        {"blank, unnamed checkpoint", "\n", below, "nCurrent=45\nkCurrent=1001\n", false},
        {"blank, nothing below", "\n", "", named, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.first + c.rest);
        writeFile(dir.file(CHECKPOINT_FILE), c.checkpoint);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, c.rest.empty() ? 6 : 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), c.rest);
        EXPECT_EQ(fileExists(dir.file(CHECKPOINT_FILE)), c.kept);
    }
}

TEST(LineRemoval, KeepsThePermissionsOfTheFile) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "a\nb\n");
    ASSERT_EQ(chmod(dir.file("worktodo.txt").c_str(), 0640), 0);
    CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); });
    struct stat info;
    ASSERT_EQ(stat(dir.file("worktodo.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(LineRemoval, BlankLinesAfterAreRemovedOneByOneAsCode2) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=40,50,3,1001\n\n \nFermatFactor=40,41,3,5\n");
    std::vector<int> codes;
    for (int pass = 0; pass < 3; ++pass) {
        codes.push_back(CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); }).code);
        codes.push_back(CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); }).code);
    }
    EXPECT_EQ(codes, (std::vector<int>{0, 2, 0, 2, 0, 0}));
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "FermatFactor=40,41,3,5\n");
}

TEST(LineRemoval, MissingFileEndsTheProcessWithTheCheckpointKept) {
    TempDir dir;
    writeFile(dir.file(CHECKPOINT_FILE), "nCurrent=45\n");
    ChildResult child = runInChild([] { return Delete_Assignment_Line("worktodo.txt"); }, dir.path());
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err, "\nCan't open worktodo file: No such file or directory\n");
    EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)), "nCurrent=45\n");
}

TEST(LineRemoval, FailedRewriteStopsWithTheFileUnchanged) {
    // A folder that takes no temporary file is met by a rewrite in place.
    const int stages[] = {ATOMIC_FAIL_WRITE, ATOMIC_FAIL_SYNC, ATOMIC_FAIL_RENAME};
    const std::string contents[] = {"FermatFactor=40,50,3,1001\nFermatFactor=60,61,5,7\n", "FermatFactor=40,50,3,1001\n"};
    for (const std::string& content : contents) {
        for (int stage : stages) {
            SCOPED_TRACE(content + " stage " + std::to_string(stage));
            TempDir dir;
            writeFile(dir.file("worktodo.txt"), content);
            ChildResult child = runInChild(
                [stage] {
                    atomicWriteFailAt = stage;
                    return Delete_Assignment_Line("worktodo.txt");
                },
                dir.path());
            EXPECT_TRUE(child.exited);
            EXPECT_EQ(child.status, 1);
            EXPECT_EQ(child.out, "");
            EXPECT_EQ(child.err.rfind("\nCan't replace file worktodo.txt: ", 0), 0u) << child.err;
            EXPECT_NE(child.err.find("\nCan't remove the first line of worktodo.txt; stopping with the file "
                                     "unchanged.\n"),
                      std::string::npos)
                << child.err;
            EXPECT_EQ(readFile(dir.file("worktodo.txt")), content);
            EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt"}), "");
        }
    }
    // Renamed into place, but the folder's flush failed: changed, and said so.
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), contents[0]);
    writeFile(dir.file(CHECKPOINT_FILE), "nCurrent=45\n");
    ChildResult child = runInChild(
        [] {
            durableFailAt = DURABLE_FAIL_FOLDER_SYNC;
            durableFailPath = "worktodo.txt";
            return Delete_Assignment_Line("worktodo.txt");
        },
        dir.path());
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err, "\nCan't make the new content of worktodo.txt last: flushing its folder failed: Input/output "
                         "error. A power cut may bring the previous content back.\n"
                         "\nRemoved the first line of worktodo.txt, but the change may not be on disk; stopping. The "
                         "next start goes on from whichever content the disk holds.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "FermatFactor=60,61,5,7\n");
    // Kept: the checkpoint of a finished line tells the next start which content the disk holds.
    EXPECT_TRUE(fileExists(dir.file(CHECKPOINT_FILE)));

    // The same for a line cut where it crosses a band.
    const std::string crossing = "FermatFactor=40,70,3,1001\nnext\n";
    writeFile(dir.file("worktodo.txt"), crossing);
    child = runInChild(
        [] {
            durableFailAt = DURABLE_FAIL_FOLDER_SYNC;
            durableFailPath = "worktodo.txt";
            return Read_Assignment_Line("worktodo.txt");
        },
        dir.path());
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err, "\nCan't make the new content of worktodo.txt last: flushing its folder failed: Input/output "
                         "error. A power cut may bring the previous content back.\n"
                         "\nWrote the cut assignment lines to worktodo.txt, but the change may not be on disk; "
                         "stopping. The next start goes on from whichever content the disk holds.\n");
    EXPECT_NE(readFile(dir.file("worktodo.txt")), crossing);
    const std::string cut = readFile(dir.file("worktodo.txt"));
    EXPECT_EQ(cut.substr(cut.size() - 5), "next\n");
}

TEST(LineRemoval, ReadOnlyFileStopsWithTheFileUnchanged) {
    TempDir dir;
    const std::string content = "FermatFactor=40,50,3,1001\nnext\n";
    writeFile(dir.file("worktodo.txt"), content);
    ASSERT_EQ(chmod(dir.file("worktodo.txt").c_str(), 0444), 0);
    ChildResult child = runInChild([] { return Delete_Assignment_Line("worktodo.txt"); }, dir.path());
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err,
              "\nCan't replace file worktodo.txt: it has no write permission. The file keeps its previous content.\n"
              "\nCan't remove the first line of worktodo.txt; stopping with the file unchanged.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), content);
}

}  // namespace

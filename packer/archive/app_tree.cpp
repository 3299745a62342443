//===- packer/archive/app_tree.cpp - The application directory ------------===//
#include "packer/archive/app_tree.h"

#include <ctype.h>
#include <errno.h>

#include <algorithm>

#include "packer/failure.h"
#include "packer/os/file_io.h"

namespace veskar {

namespace {

std::string Canonical(const std::string &path, int *code) {
  std::string result;
  if (!fs::Canonical(path, &result)) {
    *code = errno;
    return std::string();
  }
  return result;
}

// What the paths inside `root` begin with.
std::string InsidePrefix(const std::string &root) {
  return !root.empty() && root.back() == '/' ? root : root + "/";
}

class Walker {
public:
  Walker(AppTree *tree, std::string *error) : tree_(tree), error_(error) {}

  // Adds the files below `relative` (empty for the root); gives how many.
  bool Walk(const std::string &relative, size_t *found) {
    std::string directory =
        relative.empty() ? tree_->root : InsidePrefix(tree_->root) + relative;
    std::vector<std::string> names;
    if (!fs::ListDirectory(directory, &names))
      return Fail(error_, "cannot read the directory '" + directory +
                              "': " + SystemError(errno));
    // A fixed order, so that errors and empty-directory notes repeat.
    std::sort(names.begin(), names.end());
    *found = 0;
    for (const std::string &name : names) {
      std::string childRelative =
          relative.empty() ? name : relative + "/" + name;
      std::string path = InsidePrefix(directory) + name;
      fs::Facts info;
      if (!fs::LookAt(path, false, &info))
        return Fail(error_,
                    "cannot look at '" + path + "': " + SystemError(errno));
      if (info.kind == fs::Kind::kDirectory) {
        tree_->directories.push_back(childRelative);
        size_t below;
        if (!Walk(childRelative, &below))
          return false;
        if (below == 0)
          tree_->emptyDirectories.push_back(childRelative);
        *found += below;
      } else if (info.kind == fs::Kind::kRegular) {
        if (!AddFile(childRelative, path, info))
          return false;
        ++*found;
      } else if (info.kind == fs::Kind::kLink) {
        if (!AddLink(childRelative, path))
          return false;
        ++*found;
      } else {
        return Fail(error_, "'" + path + "' is " + KindOf(info.kind) +
                                "; only regular files can be packed");
      }
    }
    // Only the topmost of nested empty directories is worth a note.
    if (*found == 0) {
      auto &empty = tree_->emptyDirectories;
      std::string prefix = relative + "/";
      empty.erase(std::remove_if(empty.begin(), empty.end(),
                                 [&](const std::string &d) {
                                   return d.compare(0, prefix.size(), prefix) ==
                                          0;
                                 }),
                  empty.end());
    }
    return true;
  }

private:
  bool AddFile(const std::string &relative, const std::string &path,
               const fs::Facts &info) {
    // Unreadable files are found now, not after minutes of compressing. A
    // fifo swapped in since the walk saw a file does not block the open.
    int fd = fs::OpenForReading(path, false);
    if (fd < 0)
      return Fail(error_, "cannot read '" + path + "': " + SystemError(errno));
    fs::Close(fd);
    tree_->files.push_back({relative, path, info.size, info.executable});
    return true;
  }

  bool AddLink(const std::string &relative, const std::string &path) {
    int code = 0;
    std::string target = Canonical(path, &code);
    if (target.empty())
      return Fail(error_, "the symbolic link '" + path +
                              "' points to nothing (" + SystemError(code) +
                              ")");
    if (!LiesInside(target, tree_->root))
      return Fail(error_, "the symbolic link '" + path +
                              "' leads outside the application directory");
    fs::Facts info;
    if (!fs::LookAt(target, true, &info))
      return Fail(error_,
                  "cannot look at '" + target + "': " + SystemError(errno));
    if (info.kind == fs::Kind::kDirectory)
      return Fail(error_, "the symbolic link '" + path +
                              "' points to a directory; only links to files "
                              "are packed");
    if (info.kind != fs::Kind::kRegular)
      return Fail(error_, "the symbolic link '" + path + "' points to " +
                              KindOf(info.kind) +
                              "; only regular files can be packed");
    return AddFile(relative, target, info);
  }

  AppTree *tree_;
  std::string *error_;
};

bool EndsWithExe(const std::string &name) {
  const std::string kExtension = ".exe";
  if (name.size() < kExtension.size())
    return false;
  std::string end = name.substr(name.size() - kExtension.size());
  for (char &c : end)
    c = (char)tolower((unsigned char)c);
  return end == kExtension;
}

} // namespace

bool LiesInside(const std::string &path, const std::string &root) {
  std::string inside = InsidePrefix(root);
  return path.compare(0, inside.size(), inside) == 0;
}

bool ScanAppDirectory(const std::string &directory, AppTree *tree,
                      std::string *error) {
  fs::Facts info;
  if (!fs::LookAt(directory, true, &info))
    return Fail(error, "the application directory '" + directory +
                           "' cannot be opened: " + SystemError(errno));
  if (info.kind != fs::Kind::kDirectory)
    return Fail(error, "'" + directory + "' is not a directory");
  AppTree result;
  int code = 0;
  result.root = Canonical(directory, &code);
  if (result.root.empty())
    return Fail(error, "the application directory '" + directory +
                           "' cannot be opened: " + SystemError(code));
  Walker walker(&result, error);
  size_t found;
  if (!walker.Walk("", &found))
    return false;
  if (found == 0)
    return Fail(error,
                "the application directory '" + directory + "' holds no files");
  *tree = std::move(result);
  return true;
}

bool ChooseMainFile(const AppTree &tree, Target target,
                    const std::string &mainOption, size_t *index,
                    std::string *error) {
  if (!mainOption.empty()) {
    std::string wanted = mainOption;
    std::replace(wanted.begin(), wanted.end(), '\\', '/');
    while (wanted.compare(0, 2, "./") == 0)
      wanted.erase(0, 2);
    for (size_t i = 0; i < tree.files.size(); ++i) {
      if (tree.files[i].relative == wanted) {
        *index = i;
        return true;
      }
    }
    return Fail(error, "--main '" + mainOption +
                           "' is not a file in the application directory");
  }
  std::vector<size_t> candidates;
  for (size_t i = 0; i < tree.files.size(); ++i) {
    const AppFile &file = tree.files[i];
    if (file.relative.find('/') != std::string::npos)
      continue;
    bool fits = target == Target::kWindows ? EndsWithExe(file.relative)
                                           : file.executable;
    if (fits)
      candidates.push_back(i);
  }
  const char *kind =
      target == Target::kWindows ? ".exe file" : "executable file";
  if (candidates.size() == 1) {
    *index = candidates[0];
    return true;
  }
  if (candidates.empty())
    return Fail(error, std::string("the application directory has no ") + kind +
                           " at its top level; name the main program "
                           "with --main");
  std::string list;
  for (size_t i : candidates)
    list += (list.empty() ? "" : ", ") + tree.files[i].relative;
  return Fail(error, "the application directory has " +
                         std::to_string(candidates.size()) + " " + kind +
                         "s at its top level (" + list +
                         "); choose one with --main");
}

bool MakeArchiveInputs(const AppTree &tree, size_t mainIndex, Target target,
                       std::vector<ArchiveInput> *inputs, std::string *error) {
  std::vector<ArchiveInput> result;
  for (const AppFile &file : tree.files) {
    ArchiveInput input;
    if (!MakeArchiveName(file.relative, target, &input.name, error))
      return false;
    input.path = file.path;
    input.size = file.size;
    result.push_back(std::move(input));
  }
  // Two files, or a file and a directory, whose names differ only in case
  // would land on one name on Windows.
  NameClashFinder clashes(target == Target::kWindows);
  for (size_t i = 0; i < result.size(); ++i) {
    NameClashFinder::Clash clash;
    if (clashes.Add(result[i].name, i, &clash))
      continue;
    const std::string &earlier = tree.files[clash.earlier].relative;
    const std::string &current = tree.files[i].relative;
    if (clash.kind == NameClashFinder::kShortName)
      return Fail(error, "the names '" + earlier + "' and '" + current +
                             "' may be one file on Windows: '" +
                             (clash.earlierIsFile ? earlier : current) +
                             "' has the shape of the short name Windows "
                             "makes for a longer name in its folder");
    if (clash.kind == NameClashFinder::kFileAndDirectory)
      return Fail(error, "the file '" +
                             (clash.earlierIsFile ? earlier : current) +
                             "' and the directory of '" +
                             (clash.earlierIsFile ? current : earlier) +
                             "' differ only in case; Windows keeps one");
    return Fail(error, "the names '" + earlier + "' and '" + current +
                           "' differ only in case; Windows keeps one");
  }
  ArchiveInput main = result[mainIndex];
  result.erase(result.begin() + (ptrdiff_t)mainIndex);
  std::sort(result.begin(), result.end(),
            [](const ArchiveInput &a, const ArchiveInput &b) {
              return a.name < b.name;
            });
  result.insert(result.begin(), std::move(main));
  *inputs = std::move(result);
  return true;
}

} // namespace veskar

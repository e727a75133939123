#include "platform/prefix_documents.h"

#include <dirent.h>

#include <algorithm>
#include <set>

#include "platform/small_file.h"
#include "platform/steam_libraries.h"

namespace {

// The Steam installs that Steam itself and its Flatpak create, relative to
// the home folder; ~/.steam/steam and ~/.steam/root are usually links.
const char* const kSteamRoots[] = {
    "/.local/share/Steam",
    "/.steam/steam",
    "/.steam/root",
    "/.var/app/com.valvesoftware.Steam/.local/share/Steam",
};

// Where Bottles (native, then Flatpak) and Lutris put a prefix of their own
// per bottle or game, relative to the home folder.
const char* const kPrefixFolders[] = {
    "/.local/share/bottles/bottles",
    "/.var/app/com.usebottles.bottles/data/bottles/bottles",
    "/Games",
};

// The entry names of `folder` in byte order; none when it cannot be read.
std::vector<std::string> SortedNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return names;
  }
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

void AddUserDocuments(const std::string& prefix, std::vector<std::string>& folders) {
  const std::string users = prefix + "/drive_c/users/";
  for (const std::string& name : SortedNames(users)) {
    folders.push_back(users + name + "/Documents");
  }
}

void AddOnce(const std::string& library, std::set<std::string>& seen,
             std::vector<std::string>& libraries) {
  if (seen.insert(library).second) {
    libraries.push_back(library);
  }
}

// Each root, then the libraries its libraryfolders.vdf names. A library
// named twice is looked in once, where it first appears.
std::vector<std::string> SteamLibraries(const std::string& home) {
  std::vector<std::string> libraries;
  std::set<std::string> seen;
  for (const char* root : kSteamRoots) {
    AddOnce(home + root, seen, libraries);
    std::string vdf;
    if (ReadSmallFile(home + root + "/steamapps/libraryfolders.vdf", kMaxLibraryFoldersSize, vdf)) {
      for (const std::string& library : SteamLibraryPaths(vdf)) {
        AddOnce(library, seen, libraries);
      }
    }
  }
  return libraries;
}

void AddProtonDocuments(const std::string& home, std::vector<std::string>& folders) {
  for (const std::string& library : SteamLibraries(home)) {
    const std::string compatdata = library + "/steamapps/compatdata/";
    for (const std::string& app_id : SortedNames(compatdata)) {
      folders.push_back(compatdata + app_id + "/pfx/drive_c/users/steamuser/Documents");
    }
  }
}

}  // namespace

std::vector<std::string> PrefixDocumentsFolders(const std::string& home,
                                                const std::string& wine_prefix) {
  const std::string home_folder = WithoutTrailingSlashes(home);
  std::vector<std::string> folders;
  if (wine_prefix.starts_with("/")) {
    AddUserDocuments(WithoutTrailingSlashes(wine_prefix), folders);
  }
  AddUserDocuments(home_folder + "/.wine", folders);
  AddProtonDocuments(home_folder, folders);
  for (const char* prefixes : kPrefixFolders) {
    const std::string folder = home_folder + prefixes + "/";
    for (const std::string& name : SortedNames(folder)) {
      AddUserDocuments(folder + name, folders);
    }
  }
  return folders;
}

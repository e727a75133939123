#include "driver/messages.h"

#include <string>

NativeString BannerText() {
  return Native(
      "=================================\n"
      " Tarnwick - UI Layout Extractor\n"
      "=================================\n");
}

NativeString RejectionText(const NativeString& argument) {
  return Native("[ERROR] File path is not valid: \"") + argument +
         Native(
             "\"\n"
             "\nUsage: \n"
             "1. Place Tarnwick.exe in your Quellmoor directory. \n"
             "2. Run it directly or drag CHAR@SERVER_sc.tmp files onto it. \n");
}

NativeString CurrentDirText(const NativeString& program_folder) {
  return Native("Current Dir: ") + program_folder + Native("\n\n");
}

NativeString NoProgramFolderText() {
  return Native(
      "[WARNING] Cannot find the program's own folder; output files go to "
      "the current folder.\n\n");
}

NativeString NoDocumentsFolderText() {
  return Native(
      "[ERROR] Cannot find the Documents folder, so there is no cache "
      "folder to look in.\n");
}

NativeString FileNameIncorrectText(const NativeString& path) {
  return Native("[ERROR] \"") + path + Native("\" file name incorrect.\n");
}

NativeString NoSettingsFilesText(const NativeString& cache_folder) {
  return Native("[ERROR] Cannot find any CHAR@SERVER_sc.tmp file in \"") + cache_folder +
         Native("\".\n");
}

NativeString OutOfMemoryText() { return Native("[ERROR] Out of memory; the run stopped.\n"); }

NativeString ClosingText(unsigned processed_count) {
  return Native("\nDone! File(s) Processed: ") + Native(std::to_string(processed_count)) +
         Native("\n");
}

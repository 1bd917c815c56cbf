// The format table's lookups, the file dialogs' filters and the encoder settings from the controls.

#include "Formats.h"

#include <algorithm>
#include <filesystem>

namespace merolune {

std::string LowerExtension(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  std::string ext = name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return ext;
}

namespace {

// "Name (*.ext);;" for every format.
std::string EachFormatFilter() {
  std::string filter;
  for (const FormatRow& row : kFormats)
    filter += std::string(row.FilterName) + " (*" + row.Extension + ");;";
  return filter;
}

constexpr const char* kAllFilesFilter = "All files (*)";

}  // namespace

const FormatRow* FindFormat(FileFormat format) {
  for (const FormatRow& row : kFormats)
    if (row.Format == format) return &row;
  return nullptr;
}

const FormatRow* FormatWithMenuTag(int tag) {
  for (const FormatRow& row : kFormats)
    if (row.MenuTag == tag) return &row;
  return nullptr;
}

const FormatRow* FormatWithSettingsPage(int page) {
  if (page == kNoEncoderPage) return nullptr;
  for (const FormatRow& row : kFormats)
    if (row.SettingsPage == page) return &row;
  return nullptr;
}

FileFormat FormatFromExtension(const std::string& path) {
  const std::string ext = LowerExtension(path);
  for (const FormatRow& row : kFormats)
    if (ext == row.Extension) return row.Format;
  return FileFormat::Unknown;
}

FileFormat SourceFormatFromPath(const std::string& path) {
  const FileFormat format = FormatFromExtension(path);
  return format == FileFormat::Unknown ? FileFormat::Other : format;
}

bool IsCoded(FileFormat format) {
  const FormatRow* row = FindFormat(format);
  return row != nullptr && row->Coded;
}

std::string OpenDialogFilter() {
  std::string patterns;
  for (const FormatRow& row : kFormats) patterns += std::string(patterns.empty() ? "*" : " *") + row.Extension;
  std::string others;
  for (const char* extension : kOtherSourceExtensions) others += std::string(others.empty() ? "*" : " *") + extension;
  return "All Supported Format (" + patterns + " " + others + ");;" + EachFormatFilter() + "Other audio (" + others +
         ");;" + kAllFilesFilter;
}

std::string SaveDialogFilter() { return EachFormatFilter() + kAllFilesFilter; }

EncoderSettings MakeEncoderSettings(const EncoderControls& controls) {
  EncoderSettings settings;
  for (const FormatRow& row : kFormats)
    if (row.ApplyControls != nullptr) row.ApplyControls(controls, settings);
  return settings;
}

}  // namespace merolune

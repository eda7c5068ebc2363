#include "xml/xml_settings.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <pugixml.hpp>
#include <string_view>
#include <vector>

#include "xml/text_conversion.h"

using kalmora::CSpinWaitLockGuard;

namespace {

// White space is kept so that a saved file keeps the layout it was loaded with; declaration,
// comments and processing instructions are kept so that saving drops nothing.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration |
                                   pugi::parse_comments | pugi::parse_pi;

bool ExpandPath(char (&path)[CXMLSettingsAPI::kMaxPathLength + 1], const char* format, std::va_list args)
    __attribute__((format(printf, 2, 0)));
bool ExpandPath(char (&path)[CXMLSettingsAPI::kMaxPathLength + 1], const char* format, std::va_list args) {
  if (format == nullptr) return false;
  // A longer result is cut by vsnprintf, as the fixed path buffer of the document requires.
  return std::vsnprintf(path, sizeof path, format, args) >= 0;
}

// The folder of the process's executable, with its trailing "/"; empty when it cannot be found.
std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return {};
  const std::string_view path(buffer, static_cast<std::size_t>(length));
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

// An element name that WriteValue may create and CreateDocument may use as root: an ASCII XML
// name without a namespace prefix. Anything else in a path (predicates, axes, wildcards) selects
// but is never created.
bool IsPlainName(std::string_view name) {
  if (name.empty()) return false;
  const auto is_start = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!is_start(name.front())) return false;
  for (const char c : name) {
    if (!is_start(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

pugi::xml_node SelectElement(const pugi::xml_document& document, const char* path) {
  const pugi::xml_node node = document.select_node(path).node();
  return node.type() == pugi::node_element ? node : pugi::xml_node();
}

// Appends an element as the last element child of parent (whose element depth is level) with
// line-feed and tab text around it, so the file stays indented one tab per level: a blank text
// before the parent's closing tag stays last, the new element and its indentation go before it.
pugi::xml_node AppendIndented(pugi::xml_node parent, int level, const std::string& name) {
  if (level == 0) return parent.append_child(name.c_str());
  const std::string indent = "\n" + std::string(static_cast<std::size_t>(level), '\t');
  const pugi::xml_node last = parent.last_child();
  if (last.type() == pugi::node_pcdata && IsBlank(last.value())) {
    if (!parent.insert_child_before(pugi::node_pcdata, last).set_value(indent.c_str())) return {};
    return parent.insert_child_before(name.c_str(), last);
  }
  if (!parent.append_child(pugi::node_pcdata).set_value(indent.c_str())) return {};
  const pugi::xml_node element = parent.append_child(name.c_str());
  if (!element || !parent.append_child(pugi::node_pcdata).set_value(indent.substr(0, indent.size() - 1).c_str())) {
    return {};
  }
  return element;
}

// Creates the missing elements of a plain path ("A/B/C" or "/A/B/C"), each as the last child of
// the first element of that name found along it; the element at its end, or nothing when the path
// is not plain or would need a second root element.
pugi::xml_node CreatePath(pugi::xml_document& document, std::string_view path) {
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::vector<std::string> steps;
  for (std::size_t start = 0;;) {
    const auto slash = path.find('/', start);
    steps.emplace_back(path.substr(start, slash - start));
    if (!IsPlainName(steps.back())) return {};
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  pugi::xml_node node = document;
  int level = 0;
  for (const auto& step : steps) {
    pugi::xml_node child = node.child(step.c_str());
    while (child && child.type() != pugi::node_element) child = child.next_sibling(step.c_str());
    if (!child) {
      if (level == 0 && document.document_element()) return {};
      child = AppendIndented(node, level, step);
      if (!child) return {};
    }
    node = child;
    ++level;
  }
  return node;
}

class StringWriter final : public pugi::xml_writer {
 public:
  void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
  std::string text;
};

// The document as the file holds it: every top-level node (declaration, root element) on a line
// of its own, everything inside exactly as loaded or created, no declaration added.
std::string Serialize(const pugi::xml_document& document) {
  StringWriter writer;
  for (const pugi::xml_node child : document.children()) {
    child.print(writer, PUGIXML_TEXT("\t"), pugi::format_raw, pugi::encoding_utf8);
    writer.text.push_back('\n');
  }
  return writer.text;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}

// Replaces the file at path with content so that, after a crash at any moment, the file holds the
// old or the new content: a unique temporary file in the same folder is written, flushed to disk,
// given the old file's mode and renamed over the target, then the folder entry is flushed. A
// process killed before the rename leaves its "<name>.XXXXXX" file behind; it is never read.
bool WriteFileAtomically(const std::string& path, std::string_view content) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  bool ok = WriteAll(fd, content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  return SyncFolder(folder);
}

}  // namespace

CDinaFileBase::~CDinaFileBase() { Close(); }

bool CDinaFileBase::OpenForReading(const std::string& file_name) {
  Close();
  file_name_ = file_name;
  // O_NONBLOCK keeps a FIFO of that name from blocking the open; it is refused below.
  fd_ = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) return false;
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
    Close();
    return false;
  }
  return true;
}

bool CDinaFileBase::ReadAll(std::string& content) {
  content.clear();
  if (fd_ < 0) return false;
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    content.append(chunk, static_cast<std::size_t>(got));
    if (content.size() > kMaxSize) return false;
  }
}

void CDinaFileBase::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() = default;

std::int32_t CXMLSettingsAPI::OpenDocument(const char* file_name) {
  try {
    CSpinWaitLockGuard open(open_lock_);
    if (open_count_ > 0) {
      ++open_count_;
      return 0;
    }
    if (file_name == nullptr) return kFail;
    std::string full_path = FullPathLocked(file_name);
    {
      CSpinWaitLockGuard access(access_lock_);
      full_path_ = full_path;
    }
    std::string content;
    {
      CDinaFileBase file;
      if (!file.OpenForReading(full_path) || !file.ReadAll(content) || content.empty()) return kFail;
    }
    auto document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result parsed =
        document->load_buffer(content.data(), content.size(), kParseOptions, pugi::encoding_auto);
    if (parsed.status == pugi::status_out_of_memory) return kFail;
    // The parser accepts several top-level elements; a settings file has exactly one.
    std::size_t elements = 0;
    for (const pugi::xml_node child : document->children()) elements += child.type() == pugi::node_element;
    if (!parsed || elements != 1) return kNotXml;
    CSpinWaitLockGuard access(access_lock_);
    document_ = std::move(document);
    open_count_ = 1;
    return 0;
  } catch (...) {
    return kFail;
  }
}

std::int32_t CXMLSettingsAPI::CloseDocument() {
  CSpinWaitLockGuard open(open_lock_);
  if (open_count_ > 0 && --open_count_ == 0) {
    CSpinWaitLockGuard access(access_lock_);
    document_.reset();
  }
  return open_count_;
}

std::int32_t CXMLSettingsAPI::CreateDocument(const char* root_name, const char* file_name) {
  try {
    CSpinWaitLockGuard open(open_lock_);
    if (open_count_ > 0 || root_name == nullptr || file_name == nullptr || !IsPlainName(root_name)) return 0;
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    if (!declaration.append_attribute("version").set_value("1.0") ||
        !declaration.append_attribute("encoding").set_value("utf-8") || !document.append_child(root_name)) {
      return 0;
    }
    return WriteFileAtomically(FullPathLocked(file_name), Serialize(document)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

template <class R, class Op>
R CXMLSettingsAPI::OnDocument(R failure, const char* path_format, std::va_list args, Op&& op) {
  char path[kMaxPathLength + 1];
  if (!ExpandPath(path, path_format, args)) return failure;
  try {
    CSpinWaitLockGuard access(access_lock_);
    if (!document_) return failure;
    return op(*document_, path);
  } catch (...) {
    return failure;
  }
}

std::u16string CXMLSettingsAPI::ReadValue(const char* path_format, ...) {
  std::va_list args;
  va_start(args, path_format);
  std::u16string value =
      OnDocument(std::u16string(), path_format, args, [](pugi::xml_document& document, const char* path) {
        return kalmora::Utf8ToUtf16(SelectElement(document, path).attribute("value").value());
      });
  va_end(args);
  return value;
}

bool CXMLSettingsAPI::WriteValue(const std::u16string& value, const char* path_format, ...) {
  std::va_list args;
  va_start(args, path_format);
  const bool written = OnDocument(false, path_format, args, [&value](pugi::xml_document& document, const char* path) {
    const std::string text = kalmora::Utf16ToUtf8(value);
    if (text.empty() && !value.empty()) return false;
    pugi::xml_node node = SelectElement(document, path);
    if (!node) node = CreatePath(document, path);
    if (!node) return false;
    // One attribute "value" whatever it held before, empty or not.
    pugi::xml_attribute attribute = node.attribute("value");
    if (!attribute) attribute = node.append_attribute("value");
    return attribute.set_value(text.c_str());
  });
  va_end(args);
  return written;
}

bool CXMLSettingsAPI::NodeExists(const char* path_format, ...) {
  std::va_list args;
  va_start(args, path_format);
  const bool exists = OnDocument(false, path_format, args, [](pugi::xml_document& document, const char* path) {
    return static_cast<bool>(SelectElement(document, path));
  });
  va_end(args);
  return exists;
}

bool CXMLSettingsAPI::RemoveNode(const char* path_format, ...) {
  std::va_list args;
  va_start(args, path_format);
  const bool removed = OnDocument(false, path_format, args, [](pugi::xml_document& document, const char* path) {
    // Every element the path selects: a file edited by hand may repeat an element, and a copy
    // left behind would show up again on the next read.
    // Last first: a selected element inside another selected one goes before its ancestor frees it.
    pugi::xpath_node_set selected = document.select_nodes(path);
    selected.sort();
    bool any = false;
    for (std::size_t index = selected.size(); index-- > 0;) {
      const pugi::xml_node node = selected[index].node();
      pugi::xml_node parent = node.parent();
      // Removing the root element would leave a file that no longer loads.
      if (node.type() != pugi::node_element || parent.type() != pugi::node_element) continue;
      // The indentation in front of the element goes with it, so rewrites do not pile up blank lines.
      const pugi::xml_node before = node.previous_sibling();
      if (before.type() == pugi::node_pcdata && IsBlank(before.value())) parent.remove_child(before);
      any = parent.remove_child(node) || any;
    }
    return any;
  });
  va_end(args);
  return removed;
}

bool CXMLSettingsAPI::SaveDocument() {
  try {
    CSpinWaitLockGuard access(access_lock_);
    return document_ && WriteFileAtomically(full_path_, Serialize(*document_));
  } catch (...) {
    return false;
  }
}

std::string CXMLSettingsAPI::RootName() const {
  try {
    CSpinWaitLockGuard access(access_lock_);
    return document_ ? std::string(document_->document_element().name()) : std::string();
  } catch (...) {
    return {};
  }
}

void CXMLSettingsAPI::SetBaseFolder(std::string folder) {
  CSpinWaitLockGuard open(open_lock_);
  base_folder_ = std::move(folder);
}

std::string CXMLSettingsAPI::FullPathLocked(const char* file_name) const {
  std::string path = base_folder_.empty() ? ExecutableFolder() : base_folder_;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  return path + file_name;
}

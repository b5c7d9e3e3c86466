#pragma once
// Path strings as plain bytes with "/" as the separator; nothing here touches
// the file system except vdpath_canonical.
#include <string>
#include <string_view>

// In place: "" and "/" stay; one trailing "/" is dropped, then the last
// component ("/a" gives "/", a bare name gives "").
void vdpath_parent(std::string& path);
// The text after the last "/". One trailing "/" is ignored, as vdpath_parent
// ignores it, so "/a/b/" names "b" and its rotated names stay beside it.
std::string vdpath_filename(std::string_view path);
// The text after the last "." of the file name; "" without one.
std::string vdpath_extension(std::string_view path);
// In place: appends "/" (unless path is empty or ends with one) and component;
// an empty component leaves path alone.
void vdpath_join(std::string& path, std::string_view component);
bool vdpath_is_root(std::string_view path);
// realpath(); for a path that does not exist yet, the canonical form of its
// deepest existing parent with the rest appended. Any other failure gives the
// path unchanged.
std::string vdpath_canonical(const std::string& path);

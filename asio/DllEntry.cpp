// Placeholder translation unit until the COM server exists: keeps the archive non-empty.
namespace kv380dasio {
int ArchiveAnchor = 0;
}

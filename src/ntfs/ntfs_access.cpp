#include "ntfs/ntfs_access.h"

namespace ntfsvol {

DataStream dataStreamOf(const ntfs_inode* ni) {
    if (isDirectory(ni)) return {AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4};
    return {AT_DATA, AT_UNNAMED, 0};
}

bool readRuns(ntfs_attr* na, std::vector<Run>& runs) {
    runs.clear();
    if (!NAttrNonResident(na)) return true;
    if (ntfs_attr_map_whole_runlist(na) != 0 || !na->rl) return false;
    for (const runlist_element* r = na->rl; r->length != 0; ++r) {
        if (r->lcn < LCN_HOLE) return false;  // not mapped or an error entry
        const int64_t lcn = r->lcn == LCN_HOLE ? -1 : r->lcn;
        if (!runs.empty()) {
            Run& last = runs.back();
            if ((last.lcn < 0 && lcn < 0) || (last.lcn >= 0 && lcn >= 0 && last.lcn + last.length == lcn)) {
                last.length += r->length;
                continue;
            }
        }
        runs.push_back({lcn, r->length});
    }
    return true;
}

WString nameText(const ntfschar* name, int length) {
    WString text;
    text.reserve(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(le16_to_cpu(name[i])));
    return text;
}

namespace {

int collect(void* dirent, const ntfschar* name, const int nameLength, const int nameType, const s64,
            const MFT_REF mref, const unsigned) {
    // A file with a separate short name is listed under both; the long one stands for it.
    if (nameType == FILE_NAME_DOS) return 0;
    static_cast<std::vector<DirEntry>*>(dirent)->push_back({nameText(name, nameLength), MREF(mref)});
    return 0;
}

}  // namespace

bool readDirectory(ntfs_inode* dir, std::vector<DirEntry>& entries) {
    entries.clear();
    s64 pos = 0;
    return ntfs_readdir(dir, &pos, &entries, collect) == 0;
}

}  // namespace ntfsvol

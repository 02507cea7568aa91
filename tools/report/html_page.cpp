#include "report/html_page.h"

#include "report/cluster_map.h"

namespace report {

using volume_dump::VolumeDumpHeader;

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string volumeTitle(const VolumeDumpHeader& h) {
    const char* fs = "unknown file system";
    switch (h.fileSystemType) {
    case volume_dump::kFileSystemNtfs: fs = "NTFS"; break;
    case volume_dump::kFileSystemFat: fs = "FAT"; break;
    case volume_dump::kFileSystemFat32: fs = "FAT32"; break;
    default: break;
    }
    const char16_t letter = h.driveLetter < 0x20 ? u'?' : h.driveLetter;
    return platform::utf16ToUtf8(WString(1, letter)) + ": \"" + platform::utf16ToUtf8(h.volumeName) + "\" (" + fs +
           "), " + std::to_string(h.totalClusters) + " clusters of " + std::to_string(h.bytesPerCluster) + " bytes";
}

namespace {

const char kStyle[] =
    "body{font-family:sans-serif;margin:2em;color:#222;background:#fff}"
    "table{border-collapse:collapse;margin:1em 0}"
    "th,td{border:1px solid #bbb;padding:3px 10px;text-align:right}"
    "th:first-child,td:first-child{text-align:left}"
    "th{background:#eee}"
    ".swatch{display:inline-block;width:1em;height:1em;border:1px solid #444;vertical-align:middle;margin:0 .3em 0 1em}"
    "img{display:block;border:1px solid #888;max-width:100%;height:auto;image-rendering:pixelated}"
    ".note{color:#555;font-size:90%}";

std::string legend() {
    std::string s = "<p>";
    for (int k = 0; k < kClusterKindCount; ++k) {
        ClusterKind kind = static_cast<ClusterKind>(k);
        s += "<span class=\"swatch\" style=\"background:" + htmlColour(kindColour(kind)) + "\"></span>" +
             htmlEscape(kindName(kind));
    }
    s += "<span class=\"swatch\" style=\"background:" + htmlColour(outsideColour()) + "\"></span>past the end of the volume</p>\n";
    return s;
}

std::string picture(const std::string& caption, const PageSide& side) {
    if (!side.volume) return "<h3>" + caption + "</h3>\n<p>Not in this dump.</p>\n";
    return "<h3>" + caption + "</h3>\n<img src=\"" + htmlEscape(side.picture) + "\" width=\"" +
           std::to_string(side.pictureWidth) + "\" height=\"" + std::to_string(side.pictureHeight) + "\" alt=\"cluster map " +
           htmlEscape(caption) + "\">\n<p class=\"note\">One cell: " + std::to_string(side.clustersPerCell) +
           (side.clustersPerCell == 1 ? " cluster" : " clusters") + ".</p>\n";
}

}  // namespace

std::string comparisonPage(const std::string& beforeName, const std::string& afterName,
                           const std::vector<PageVolume>& volumes) {
    std::string s =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Volume dump comparison</title>\n"
        "<style>";
    s += kStyle;
    s += "</style>\n</head>\n<body>\n<h1>Volume dump comparison</h1>\n";
    s += "<p>Before: <code>" + htmlEscape(beforeName) + "</code><br>After: <code>" + htmlEscape(afterName) + "</code></p>\n";
    s += legend();
    s += "<p class=\"note\">" + htmlEscape(kFigureNotes) +
         " A moved file is one whose extents differ between the two dumps; each map shows it where it lies in "
         "that dump.</p>\n";
    if (volumes.empty()) s += "<p>Neither dump holds a volume.</p>\n";
    for (const PageVolume& v : volumes) {
        const PageSide& named = v.after.volume ? v.after : v.before;
        s += "<h2>" + htmlEscape(volumeTitle(named.volume->header)) + "</h2>\n";
        s += "<table>\n<tr><th>figure</th><th>before</th><th>after</th><th>change</th></tr>\n";
        std::vector<FigureRow> b = figureRows(v.before.figures), a = figureRows(v.after.figures);
        for (size_t i = 0; i < a.size(); ++i) {
            s += "<tr><td>" + htmlEscape(a[i].label) + "</td><td>" + (v.before.volume ? htmlEscape(formatValue(b[i])) : "-") +
                 "</td><td>" + (v.after.volume ? htmlEscape(formatValue(a[i])) : "-") + "</td><td>" +
                 (v.before.volume && v.after.volume ? htmlEscape(formatChange(b[i], a[i])) : "-") + "</td></tr>\n";
        }
        if (v.before.volume && v.after.volume)
            s += "<tr><td>moved files</td><td></td><td>" + std::to_string(v.movedFiles) + "</td><td></td></tr>\n";
        s += "</table>\n";
        s += picture("before", v.before);
        s += picture("after", v.after);
    }
    s += "</body>\n</html>\n";
    return s;
}

}  // namespace report

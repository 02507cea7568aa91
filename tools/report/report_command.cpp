#include "report/report_command.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "report/cluster_map.h"
#include "report/dump_figures.h"
#include "report/html_page.h"
#include "report/png_file.h"
#include "platform/dfrg_exception.h"

namespace report {

using volume_dump::VolumeDumpVolume;
namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: velkaris-report [options] DUMP\n"
    "         figures and a cluster map (PNG) of every volume of a volume dump\n"
    "       velkaris-report compare [options] BEFORE AFTER\n"
    "         figures of two dumps side by side, both cluster maps and report.html\n"
    "options:\n"
    "  -o, --out DIR      where pictures and the page go (default: the current directory)\n"
    "  -b, --before DUMP  mark the files that moved since this earlier dump (first form)\n"
    "  -w, --width PX     picture width in pixels, 64 to 16384 (default 1024)\n";

struct Options {
    bool compare = false;
    std::string outDir = ".";
    std::string before;
    std::vector<std::string> dumps;
    MapLayout layout;
};

// False after writing the complaint.
bool parse(const std::vector<std::string>& args, Options& o, std::ostream& err) {
    size_t i = 0;
    if (!args.empty() && args[0] == "compare") {
        o.compare = true;
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& to) {
            if (i + 1 >= args.size()) {
                err << "velkaris-report: " << a << " needs a value\n";
                return false;
            }
            to = args[++i];
            return true;
        };
        if (a == "-o" || a == "--out") {
            if (!value(o.outDir)) return false;
        } else if (a == "-b" || a == "--before") {
            if (!value(o.before)) return false;
        } else if (a == "-w" || a == "--width") {
            std::string w;
            if (!value(w)) return false;
            char* end = nullptr;
            unsigned long px = std::strtoul(w.c_str(), &end, 10);
            if (w.empty() || *end || px < 64 || px > 16384) {
                err << "velkaris-report: the width must be a number from 64 to 16384\n";
                return false;
            }
            o.layout.width = static_cast<uint32_t>(px);
        } else if (a.size() > 1 && a[0] == '-') {
            err << "velkaris-report: unknown option " << a << "\n";
            return false;
        } else {
            o.dumps.push_back(a);
        }
    }
    if (o.compare && !o.before.empty()) {
        err << "velkaris-report: compare takes the earlier dump as its first file, not --before\n";
        return false;
    }
    if (o.dumps.size() != (o.compare ? 2u : 1u)) {
        err << "velkaris-report: " << (o.compare ? "compare needs two dumps" : "one dump expected") << "\n";
        return false;
    }
    return true;
}

bool load(const std::string& path, std::vector<VolumeDumpVolume>& volumes, std::ostream& err) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) {
        err << "velkaris-report: cannot open " << path << "\n";
        return false;
    }
    try {
        volumes = volume_dump::readVolumeDump(in);
    } catch (const CDfrgException& e) {
        err << "velkaris-report: " << path << ": " << e.message() << "\n";
        return false;
    }
    return true;
}

struct Picture {
    std::string name;
    uint32_t width = 0, height = 0;
    uint64_t clustersPerCell = 0;
};

bool drawVolume(const Options& o, const VolumeDumpVolume& v, const std::vector<bool>& moved, const std::string& name,
                Picture& pic, std::ostream& err) {
    ClusterMap map = buildClusterMap(v, o.layout, moved);
    RgbImage image = renderClusterMap(map, o.layout);
    std::string error;
    if (!writePng((fs::path(o.outDir) / name).string(), image, error)) {
        err << "velkaris-report: cannot write " << (fs::path(o.outDir) / name).string() << ": " << error << "\n";
        return false;
    }
    pic = {name, image.width, image.height, map.clustersPerCell};
    return true;
}

std::string padded(const std::string& s, size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

std::string colourKey() {
    std::string s = "Picture colours:";
    for (int k = 0; k < kClusterKindCount; ++k) {
        auto kind = static_cast<ClusterKind>(k);
        s += std::string(k ? ", " : " ") + kindName(kind) + " " + htmlColour(kindColour(kind));
    }
    return s + ", past the end " + htmlColour(outsideColour()) + ".\n";
}

std::string cellNote(uint64_t clustersPerCell) {
    return std::to_string(clustersPerCell) + (clustersPerCell == 1 ? " cluster" : " clusters") + " per cell";
}

// Table rows: label, then one text per column.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c) {
            if (width.size() <= c) width.push_back(0);
            width[c] = std::max(width[c], r[c].size() + 2);
        }
    for (const auto& r : rows) {
        std::string line = "  ";
        for (size_t c = 0; c < r.size(); ++c) line += c + 1 < r.size() ? padded(r[c], width[c]) : r[c];
        out << line << "\n";
    }
}

int reportOne(const Options& o, std::ostream& out, std::ostream& err) {
    std::vector<VolumeDumpVolume> volumes, earlier;
    if (!load(o.dumps[0], volumes, err)) return 1;
    if (!o.before.empty() && !load(o.before, earlier, err)) return 1;
    std::vector<std::pair<int, int>> pairs = pairVolumes(volumes, earlier);

    out << o.dumps[0] << ": " << volumes.size() << (volumes.size() == 1 ? " volume" : " volumes") << "\n";
    for (size_t i = 0; i < volumes.size(); ++i) {
        const VolumeDumpVolume& v = volumes[i];
        std::vector<bool> moved;
        for (const auto& p : pairs)
            if (p.first == static_cast<int>(i) && p.second >= 0) moved = movedEntries(v, earlier[static_cast<size_t>(p.second)]);
        Picture pic;
        if (!drawVolume(o, v, moved, pictureName("volume", i + 1, v.header.driveLetter), pic, err)) return 1;

        out << "\n" << volumeTitle(v.header) << "\n";
        std::vector<std::vector<std::string>> rows;
        for (const FigureRow& r : figureRows(computeFigures(v))) rows.push_back({r.label, formatValue(r)});
        if (!moved.empty())
            rows.push_back({"moved files", std::to_string(std::count(moved.begin(), moved.end(), true))});
        rows.push_back({"picture", pic.name + " (" + cellNote(pic.clustersPerCell) + ")"});
        printTable(out, rows);
    }
    out << "\n" << kFigureNotes << "\n" << colourKey();
    return 0;
}

int compare(const Options& o, std::ostream& out, std::ostream& err) {
    std::vector<VolumeDumpVolume> before, after;
    if (!load(o.dumps[0], before, err) || !load(o.dumps[1], after, err)) return 1;
    std::vector<std::pair<int, int>> pairs = pairVolumes(before, after);

    std::vector<PageVolume> page;
    out << "before: " << o.dumps[0] << "\nafter:  " << o.dumps[1] << "\n";
    for (size_t i = 0; i < pairs.size(); ++i) {
        const VolumeDumpVolume* b = pairs[i].first >= 0 ? &before[static_cast<size_t>(pairs[i].first)] : nullptr;
        const VolumeDumpVolume* a = pairs[i].second >= 0 ? &after[static_cast<size_t>(pairs[i].second)] : nullptr;
        PageVolume pv;
        for (auto side : {std::make_pair(b, &pv.before), std::make_pair(a, &pv.after)}) {
            const VolumeDumpVolume* v = side.first;
            if (!v) continue;
            const VolumeDumpVolume* other = v == b ? a : b;
            std::vector<bool> moved = other ? movedEntries(*v, *other) : std::vector<bool>();
            Picture pic;
            if (!drawVolume(o, *v, moved, pictureName(v == b ? "before" : "after", i + 1, v->header.driveLetter), pic, err))
                return 1;
            PageSide& s = *side.second;
            s.volume = v;
            s.figures = computeFigures(*v);
            s.picture = pic.name;
            s.pictureWidth = pic.width;
            s.pictureHeight = pic.height;
            s.clustersPerCell = pic.clustersPerCell;
        }
        out << "\n" << volumeTitle((a ? a : b)->header) << "\n";
        std::vector<std::vector<std::string>> rows{{"figure", "before", "after", "change"}};
        std::vector<FigureRow> fb = figureRows(pv.before.figures), fa = figureRows(pv.after.figures);
        for (size_t r = 0; r < fa.size(); ++r)
            rows.push_back({fa[r].label, b ? formatValue(fb[r]) : "-", a ? formatValue(fa[r]) : "-",
                            a && b ? formatChange(fb[r], fa[r]) : "-"});
        if (a && b) {
            std::vector<bool> moved = movedEntries(*a, *b);
            pv.movedFiles = static_cast<uint64_t>(std::count(moved.begin(), moved.end(), true));
            rows.push_back({"moved files", "", std::to_string(pv.movedFiles), ""});
        }
        rows.push_back({"picture", b ? pv.before.picture : "-", a ? pv.after.picture : "-", ""});
        printTable(out, rows);
        page.push_back(pv);
    }

    const std::string html = comparisonPage(fs::path(o.dumps[0]).filename().string(), fs::path(o.dumps[1]).filename().string(), page);
    const fs::path pagePath = fs::path(o.outDir) / "report.html";
    std::ofstream file(pagePath, std::ios::binary | std::ios::trunc);
    file << html;
    file.close();
    if (!file) {
        err << "velkaris-report: cannot write " << pagePath.string() << "\n";
        return 1;
    }
    out << "\n" << kFigureNotes << "\n" << colourKey() << "Wrote " << pagePath.string() << "\n";
    return 0;
}

}  // namespace

std::vector<std::pair<int, int>> pairVolumes(const std::vector<VolumeDumpVolume>& first,
                                             const std::vector<VolumeDumpVolume>& second) {
    std::vector<std::pair<int, int>> pairs;
    std::vector<bool> taken(second.size(), false);
    for (size_t i = 0; i < first.size(); ++i) {
        int partner = -1;
        for (size_t k = 0; k < second.size() && partner < 0; ++k)
            if (!taken[k] && second[k].header.driveLetter == first[i].header.driveLetter) partner = static_cast<int>(k);
        if (partner >= 0) taken[static_cast<size_t>(partner)] = true;
        pairs.emplace_back(static_cast<int>(i), partner);
    }
    for (size_t k = 0; k < second.size(); ++k)
        if (!taken[k]) pairs.emplace_back(-1, static_cast<int>(k));
    return pairs;
}

std::string pictureName(const std::string& prefix, size_t position, char16_t letter) {
    bool plain = (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z') || (letter >= u'0' && letter <= u'9');
    return prefix + "_" + std::to_string(position) + "_" + (plain ? static_cast<char>(letter) : 'x') + ".png";
}

int runReport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        }
    Options o;
    if (!parse(args, o, err)) {
        err << kUsage;
        return 2;
    }
    std::error_code ec;
    fs::create_directories(fs::path(o.outDir), ec);
    if (!fs::is_directory(fs::path(o.outDir))) {
        err << "velkaris-report: cannot make the directory " << o.outDir << "\n";
        return 1;
    }
    return o.compare ? compare(o, out, err) : reportOne(o, out, err);
}

}  // namespace report

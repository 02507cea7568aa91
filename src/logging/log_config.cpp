// Reads the log configuration: every "appender" element, at any depth, is one appender
// definition with optional "settings", a chain of nested "filter" elements and a "layout".
#include <tinyxml2.h>

#include "logging/log_components.h"
#include "logging/log_manager.h"
#include "platform/clock.h"
#include "platform/process_paths.h"

namespace {

using tinyxml2::XMLElement;

void collectSettings(const XMLElement* element, const std::string& prefix, LogSettings& out) {
    for (const XMLElement* child = element->FirstChildElement(); child; child = child->NextSiblingElement()) {
        std::string key = prefix.empty() ? child->Name() : prefix + "/" + child->Name();
        if (const char* value = child->Attribute("value")) out[key] = value;
        collectSettings(child, key, out);
    }
}

LogSettings settingsOf(const XMLElement* owner) {
    LogSettings settings;
    if (const XMLElement* s = owner->FirstChildElement("settings")) collectSettings(s, "", settings);
    return settings;
}

// Makes a component of the wanted kind from an element's "name", or none.
LogComponent* makeComponent(LogManager& manager, const XMLElement* element, LogComponent::Kind kind) {
    const char* name = element->Attribute("name");
    if (!name) return nullptr;
    LogComponent* c = manager.createComponent(name);
    if (c && c->kind() != kind) {
        manager.deleter()(c);
        return nullptr;
    }
    return c;
}

// Time formats refused while reading, reported once the appenders exist to carry the warning.
std::vector<std::string> g_refusedTimeFormats;

void readAppender(LogManager& manager, const XMLElement* definition) {
    LogComponent* made = makeComponent(manager, definition, LogComponent::Kind::Appender);
    if (!made) return;
    auto* appender = static_cast<LogAppender*>(made);
    LogComponentDeleter deleter = manager.deleter();
    if (definition->FirstChildElement("settings")) {
        LogSettings settings = settingsOf(definition);
        auto name = settings.find("filename");
        if (name != settings.end() && logSettingBool(settings, "addTimeStampToFilename", false))
            name->second = CFileAppender::timeStampedFileName(name->second, platform::localTime());
        appender->applySettings(settings);
    } else {
        appender->applySettings(LogSettings());
    }
    for (const XMLElement* f = definition->FirstChildElement("filter"); f; f = f->FirstChildElement("filter")) {
        if (LogComponent* filter = makeComponent(manager, f, LogComponent::Kind::Filter)) {
            filter->applySettings(settingsOf(f));
            appender->addFilter(filter, deleter);
        }
    }
    if (const XMLElement* l = definition->FirstChildElement("layout")) {
        if (LogComponent* layout = makeComponent(manager, l, LogComponent::Kind::Layout)) {
            layout->applySettings(settingsOf(l));
            if (auto* simple = dynamic_cast<CSimpleLayout*>(layout))
                if (!simple->refusedTimeFormat().empty()) g_refusedTimeFormats.push_back(simple->refusedTimeFormat());
            appender->setLayout(layout, deleter);
        }
    }
    manager.addAppender(appender);
}

void walk(LogManager& manager, const XMLElement* element) {
    for (; element; element = element->NextSiblingElement()) {
        if (std::string(element->Name()) == "appender") {
            readAppender(manager, element);
        } else {
            walk(manager, element->FirstChildElement());
        }
    }
}

}  // namespace

bool loadLogConfiguration(const std::string& path) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(platform::nativePath(path).c_str()) != tinyxml2::XML_SUCCESS) return false;
    g_refusedTimeFormats.clear();
    walk(LogManager::instance(), doc.FirstChildElement());
    std::vector<std::string> refused;
    refused.swap(g_refusedTimeFormats);
    if (!refused.empty()) {
        LogScope scope("loadLogConfiguration");
        for (const std::string& format : refused)
            LogMessage(scope, LogPriority::Warning).text("Unsupported time format, the default is used").prop("TimeFormat", format);
    }
    return true;
}

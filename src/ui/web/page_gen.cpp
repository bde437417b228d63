// Writes the web page's form from the form's description: index.html with
// the controls in the designed focus order, each field marked with its role
// and each button with its call and that call's arguments, which is all the
// page's scripts know of the form; form.css with the designed places and
// sizes. Usage: zelk-web-page OUTPUT_DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "ui/form.h"

namespace {

using zelk::form::Control;
using zelk::form::ControlKind;
using zelk::form::Pixels;
using zelk::form::Role;

std::string Escape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A path field's caption is the label just before it.
const Control* LabelOf(const Control& field) {
    const Control* previous = nullptr;
    for (const Control& control : zelk::form::Controls) {
        if (&control == &field) return previous != nullptr && previous->kind == ControlKind::Label ? previous : nullptr;
        previous = &control;
    }
    return nullptr;
}

// A CSS rule placing `id` at the given pixels.
std::string Place(const std::string& id, int left, int top, int width, int height) {
    return "#" + id + "{left:" + std::to_string(left) + "px;top:" + std::to_string(top) + "px;width:" +
           std::to_string(width) + "px;height:" + std::to_string(height) + "px;}\n";
}

// The control at its designed place, `widthLess` pixels narrower.
std::string Place(const Control& c, int widthLess = 0) {
    return Place(std::string(c.name), Pixels(c.left), Pixels(c.top), Pixels(c.width) - widthLess, Pixels(c.height));
}

// The file picker's button inside a path field's rectangle.
constexpr int kChooseWidth = 24;

struct Page {
    std::string controls;  // the form's elements
    std::string css;       // their places
};

// How wide the caption may be, for the page's font fitting.
std::string RoomAttribute(const Control& c) {
    return " data-room=\"" + std::to_string(zelk::form::CaptionRoom(c, Pixels)) + "\"";
}

void AddLabel(Page& page, const Control& c) {
    std::string field;
    for (const Control& other : zelk::form::Controls)
        if (LabelOf(other) == &c) field = std::string(other.name);
    page.controls += "  <label id=\"" + std::string(c.name) + "\" for=\"" + field + "\"" + RoomAttribute(c) + ">" +
                     Escape(c.text) + "</label>\n";
    page.css += Place(c);
}

std::string RoleAttribute(const Control& c) {
    return " data-role=\"" + std::string(zelk::form::RoleName(c.role)) + "\"";
}

// A text field with a button beside it that picks a file, and the hidden
// picker itself.
void AddPathField(Page& page, const Control& c) {
    const std::string id(c.name);
    const std::string caption(LabelOf(c)->text);
    // Focus starts in the first field of the focus order.
    const bool first = c.name == zelk::form::FocusOrder.front();
    page.controls += "  <input id=\"" + id + "\" type=\"text\" spellcheck=\"false\"" + RoleAttribute(c) +
                     (first ? " autofocus" : "") + " value=\"" + Escape(c.text) + "\">\n  <button id=\"" + id +
                     "-choose\" class=\"choose\" type=\"button\" tabindex=\"-1\" aria-label=\"Choose " +
                     Escape(caption) + "\" title=\"Choose " + Escape(caption) + "\">…</button>\n  <input id=\"" + id +
                     "-file\" class=\"file\" type=\"file\" tabindex=\"-1\" aria-hidden=\"true\"" +
                     (c.role == zelk::form::Role::Patch ? " multiple" : "") + ">\n";
    page.css += Place(c, kChooseWidth);
    page.css += Place(id + "-choose", Pixels(c.left + c.width) - kChooseWidth, Pixels(c.top), kChooseWidth,
                      Pixels(c.height));
}

void AddButton(Page& page, const Control& c) {
    for (const zelk::form::Action& action : zelk::form::Actions) {
        if (action.button != c.name) continue;
        // A page has no program to end: no Exit.
        if (action.command == "exit") return;
        std::string arguments;
        for (const Role role : action.arguments)
            if (role != Role::None) arguments += (arguments.empty() ? "" : " ") + std::string(zelk::form::RoleName(role));
        page.controls += "  <button id=\"" + std::string(c.name) + "\" type=\"button\" data-command=\"" +
                         std::string(action.command) + "\" data-arguments=\"" + arguments + "\"" + RoomAttribute(c) +
                         ">" + Escape(c.text) +
                         "</button>\n";
        page.css += Place(c);
    }
}

void AddCommentField(Page& page, const Control& c) {
    page.controls += "  <textarea id=\"" + std::string(c.name) + "\" wrap=\"off\" spellcheck=\"false\"" +
                     RoleAttribute(c) + " aria-label=\"Patch comment\">" + Escape(c.text) + "</textarea>\n";
    page.css += Place(c);
}

// Labels first (they take no focus), then the rest in the designed focus order.
Page FormOfThePage() {
    Page page;
    page.css = "#form{position:relative;width:" + std::to_string(Pixels(zelk::form::ClientWidthTwips)) +
               "px;height:" + std::to_string(Pixels(zelk::form::ClientHeightTwips)) + "px;}\n";
    for (const Control& c : zelk::form::Controls)
        if (c.kind == ControlKind::Label) AddLabel(page, c);
    for (const std::string_view name : zelk::form::FocusOrder) {
        const Control& c = zelk::form::Controls.at(zelk::form::IndexOf(name));
        switch (c.kind) {
            case ControlKind::LineField: AddPathField(page, c); break;
            case ControlKind::Button: AddButton(page, c); break;
            case ControlKind::CommentField: AddCommentField(page, c); break;
            case ControlKind::Label: break;
        }
    }
    return page;
}

std::string Points(double points) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", points);
    return text;
}

// A hack's page, filled in from its hack.json: shown instead of the form.
std::string HackPage() {
    return "<section id=\"hack\" hidden>\n"
           "  <p id=\"hack-description\"></p>\n"
           "  <h2>The ROM this hack needs</h2>\n  <ul id=\"hack-originals\"></ul>\n"
           "  <fieldset id=\"hack-options\" hidden><legend>Add-ons</legend></fieldset>\n"
           "  <p class=\"row\"><button id=\"hack-choose\" type=\"button\">Choose your ROM</button>"
           "<input id=\"hack-file\" type=\"file\" tabindex=\"-1\" aria-hidden=\"true\" hidden>"
           "<span id=\"hack-rom\" role=\"status\">or drop it onto this page</span></p>\n"
           "  <p class=\"row\"><button id=\"hack-apply\" type=\"button\" disabled>" +
           Escape(zelk::form::Controls.at(zelk::form::IndexOf("Command3")).text) + "</button></p>\n"
           "</section>\n";
}

// The DAT files that name ROMs, kept in the browser's own storage.
std::string Dats() {
    return "<p id=\"dats\" class=\"row\"><button id=\"dats-add\" type=\"button\">Add DAT files…</button>"
           "<input id=\"dats-file\" type=\"file\" multiple accept=\".dat,.xml,.zip,.7z\" tabindex=\"-1\" "
           "aria-hidden=\"true\" hidden><span id=\"dats-kept\" role=\"status\"></span>"
           "<button id=\"dats-forget\" type=\"button\" hidden>Forget the DAT files</button></p>\n";
}

// What makes a hack's page from this one: the hack's patches and its
// original's hashes, in a zip with the page's own files.
std::string Builder() {
    return "<p class=\"row\"><button id=\"builder-open\" type=\"button\" aria-expanded=\"false\" "
           "aria-controls=\"builder\">Make a page for your hack</button></p>\n"
           "<section id=\"builder\" hidden>\n"
           "  <h2>A page for your hack</h2>\n"
           "  <p>Players open it, choose their ROM and download the hack: upload the folder the zip holds to any "
           "static host. Only the ROM's name, size and hashes go into it, never its bytes.</p>\n"
           "  <label for=\"builder-title\">Title</label><input id=\"builder-title\" type=\"text\">\n"
           "  <label for=\"builder-description\">Description</label><textarea id=\"builder-description\" "
           "rows=\"4\"></textarea>\n"
           "  <p class=\"row\"><button id=\"builder-patches\" type=\"button\">Choose the patches</button>"
           "<input id=\"builder-patches-file\" type=\"file\" multiple tabindex=\"-1\" aria-hidden=\"true\" hidden></p>\n"
           "  <ol id=\"builder-patch-list\" aria-label=\"Patches, in the order they are applied\"></ol>\n"
           "  <p class=\"row\"><button id=\"builder-rom\" type=\"button\">Choose the original ROM</button>"
           "<input id=\"builder-rom-file\" type=\"file\" tabindex=\"-1\" aria-hidden=\"true\" hidden>"
           "<span id=\"builder-rom-facts\" role=\"status\"></span></p>\n"
           "  <label for=\"builder-output\">Result's file name</label><input id=\"builder-output\" type=\"text\" "
           "spellcheck=\"false\">\n"
           "  <p class=\"row\"><button id=\"builder-download\" type=\"button\">Download the page</button></p>\n"
           "</section>\n";
}

std::string Html(const std::string& controls) {
    const std::string caption = Escape(zelk::form::Caption);
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'self'; script-src 'self' "
           "'wasm-unsafe-eval'; worker-src 'self' blob:; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
           "object-src 'none'; base-uri 'none'; form-action 'none'\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>" + caption + "</title>\n<link rel=\"stylesheet\" href=\"style.css\">\n"
           "<link rel=\"stylesheet\" href=\"form.css\">\n<link rel=\"icon\" href=\"icon.png\">\n"
           "<link rel=\"manifest\" href=\"manifest.webmanifest\">\n"
           "<script src=\"shared.js\" defer></script>\n<script src=\"app.js\" defer></script>\n"
           "<script src=\"hack.js\" defer></script>\n</head>\n<body>\n<h1 id=\"heading\">" + caption + "</h1>\n"
           "<p class=\"privacy\">Everything happens in this browser: no file leaves your computer.</p>\n"
           "<p id=\"hack-problem\" role=\"alert\" hidden></p>\n" + HackPage() +
           "<div id=\"form-holder\"><div id=\"form\" data-font-step=\"" + Points(zelk::form::FontStepPoints) +
           "\" data-font-smallest=\"" + Points(zelk::form::SmallestFontPoints) + "\">\n" + controls + "</div></div>\n"
           "<div id=\"working\"><progress id=\"progress\" max=\"1\" value=\"0\" aria-label=\"Progress\" hidden>"
           "</progress><button id=\"cancel\" type=\"button\" hidden>Cancel</button></div>\n"
           "<p id=\"fit\" role=\"status\"></p>\n" + Dats() + Builder() +
           "<dialog id=\"message\" aria-labelledby=\"message-title\" aria-describedby=\"message-text\" "
           "data-apply-anyway=\"" + Escape(zelk::form::ApplyAnywayQuestion) + "\">\n"
           "  <h2 id=\"message-title\">" + Escape(zelk::form::MessageTitle) + "</h2>\n"
           "  <div class=\"body\"><span id=\"message-icon\" class=\"error-icon\" role=\"img\" aria-label=\"Error\" hidden>"
           "</span><pre id=\"message-text\"></pre></div>\n"
           "  <select id=\"message-list\" size=\"8\" aria-labelledby=\"message-text\" hidden></select>\n"
           "  <div class=\"buttons\"><button id=\"message-ok\" type=\"button\">OK</button>"
           "<button id=\"message-yes\" type=\"button\" hidden>Yes</button>"
           "<button id=\"message-no\" type=\"button\" hidden>No</button></div>\n"
           "</dialog>\n</body>\n</html>\n";
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "zelk-web-page: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const Page page = FormOfThePage();
    return WriteFile(dir + "/index.html", Html(page.controls)) && WriteFile(dir + "/form.css", page.css) ? 0 : 1;
}

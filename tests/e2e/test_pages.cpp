#include "test_pages.h"

#include <algorithm>

namespace e2e {

std::string GbkPage(std::string_view body) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"gbk\"><title>test page</title></head>\n"
        "<body>\n";
    page += body;
    page += "\n</body></html>\n";
    return page;
}

std::string Link(std::string_view href, std::string_view text) {
    std::string link = "<a href=\"";
    link += href;
    link += "\">";
    link += text;
    link += "</a>\n";
    return link;
}

std::string ResolverForm(std::string_view action) {
    std::string form = "<form action=\"";
    form += action;
    form +=
        "\" method=\"get\">\n<input type=\"text\" name=\"url\">\n"
        "<input type=\"submit\" value=\"go\">\n</form>\n";
    return form;
}

bool WebRoot::Put(std::string_view host, std::string_view path, std::string_view bytes) {
    std::string file = folder_.Path() + "\\" + std::string(host) + "\\" + std::string(path);
    std::replace(file.begin(), file.end(), '/', '\\');
    MakeFolders(file.substr(0, file.find_last_of('\\')));
    return WriteWholeFile(file, bytes);
}

}  // namespace e2e

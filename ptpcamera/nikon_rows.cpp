// Prints the factory table rows for the Nikon D-series bodies the installed libgphoto2 drives
// over PTP, keyed by the USB product name the body reports: libgphoto2 names these bodies after
// it, "Nikon DSC D850" for "NIKON DSC D850", at times with " (PTP mode)" added. Bodies it names
// otherwise (Z, 1, Coolpix) are left to the module search, which finds them through this module
// too. Used to refresh resources/FactoryDefaultNikonList.plist.in when libgphoto2 gains bodies.

#include <gphoto2/gphoto2.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

int main() {
    CameraAbilitiesList* list = nullptr;
    gp_abilities_list_new(&list);
    if (gp_abilities_list_load(list, nullptr) < GP_OK) {
        std::fprintf(stderr, "nikon_rows: cannot load libgphoto2's camera list\n");
        return 1;
    }
    std::map<std::string, int> rows;
    for (int i = 0; i < gp_abilities_list_count(list); ++i) {
        CameraAbilities a;
        if (gp_abilities_list_get_abilities(list, i, &a) < GP_OK)
            continue;
        if (a.usb_vendor != 0x04b0 || a.usb_product == 0 || !std::strstr(a.library, "ptp2"))
            continue;
        std::string name = a.model;
        if (name.rfind("Nikon DSC ", 0) != 0)
            continue;
        name.replace(0, 5, "NIKON");
        const std::string mode = " (PTP mode)";
        if (name.size() > mode.size() && name.ends_with(mode))
            name.resize(name.size() - mode.size());
        rows.emplace(name, a.usb_product);
    }
    gp_abilities_list_free(list);
    for (const auto& [name, product] : rows)
        std::printf("\t\t<key>%s</key>\n\t\t<dict>\n\t\t\t<key>devicename</key>\n"
                    "\t\t\t<string>%s</string>\n\t\t\t<key>modulename</key>\n"
                    "\t\t\t<string>ZarvPTP Module.bundle</string>\n\t\t\t<key>productid</key>\n"
                    "\t\t\t<integer>%d</integer>\n\t\t</dict>\n",
                    name.c_str(), name.c_str(), product);
    return 0;
}

#pragma once
// Loads the device plug-in the way the site host does: dlopen, the entry
// point get_providers found by name, and devices made by the serial-device
// providers it returns.  Nothing of the plug-in is linked into this program;
// the plug-in finds the host's operations in the host stand-in, which the
// executable links as a shared library so its symbols are global.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/HLXSPDevice.h"
#include "host/HLXSPDeviceProvider.h"
#include "host/Provider.h"

#include "loader/FileDigest.h"

class PluginLoader {
public:
    // Loads the library and asks it for its providers; throws
    // std::runtime_error with a one-line explanation when that fails.  The
    // path names a file: a bare name is the file of that name in the current
    // folder, never a search of the library path (see Resolve).
    explicit PluginLoader(const std::string& path);
    // The providers are released; the library itself stays mapped, since
    // the code of devices made from it lives there (see the .cpp).
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // A new device, owned by the caller (delete through the virtual
    // destructor).  With an empty type, the first serial-device provider
    // makes it; otherwise the first whose device reports that type.  Returns
    // nullptr when no provider makes that type.  Exceptions from create()
    // pass through.
    HLXSPDevice* Create(const std::string& type = std::string());
    // The device types the library's serial-device providers make, in their
    // order, as the devices themselves report them.
    std::vector<std::string> Types();

    // The absolute path of the file loaded, its size and its SHA-256.
    const std::string& Path() const { return path_; }
    const FileDigest& Digest() const { return digest_; }

    // The absolute, symbolic-link-free path of the file a --plugin value
    // names.  dlopen searches the library path for a name without a slash
    // (and may find another build there), so the name is taken relative to
    // the current folder first.  Throws when there is no such file.
    static std::string Resolve(const std::string& path);

    // Where the plug-in is looked for when none is named: beside this
    // executable (a bench kit copied as one folder), then where the package
    // installs it (../lib/bench-host/plugin/ from the executable's folder), then
    // where the build put it.
    static std::string DefaultPath();

private:
    std::string path_;
    FileDigest digest_;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    std::vector<const HLXSPDeviceProvider*> serial_providers_;
};

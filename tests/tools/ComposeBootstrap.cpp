#include "editor/BootstrapScript.h"
#include "editor/PageEventKey.h"

#include <PageData.h>

#include <iostream>
#include <iterator>
#include <string>

// Reads a JSON array of cases on stdin and writes the JSON array of the
// scripts the editor would inject for them on stdout, in the same order:
//
//   { "outputs": [names], "inputs": [names],
//     "instance": { "id": text, "state": text } or null,
//     "gameOrigin": text, "eventKey": text }     (both or neither)
//
// The embedded shim and BootstrapScript::compose are the product's own, so the
// page tests run exactly what a page gets. One process composes any number of
// scripts, because starting it costs far more than composing.
//
// With --page-events it writes the JSON array of the page events the editor
// listens for (each sealed with the document's key) instead, so the page
// tests take the names from the product.

namespace
{
    juce::Result readNames (const juce::var& list, const char* field, juce::StringArray& names)
    {
        if (! list.isArray())
            return juce::Result::fail (juce::String (field) + " must be a list of names");

        for (auto& name : *list.getArray())
        {
            if (! name.isString())
                return juce::Result::fail (juce::String (field) + " must hold only names");

            names.add (name.toString());
        }

        return juce::Result::ok();
    }

    juce::Result readText (const juce::var& object, const char* field, juce::String& text)
    {
        const auto& value = object[field];

        if (! value.isString())
            return juce::Result::fail (juce::String (field) + " must be text");

        text = value.toString();
        return juce::Result::ok();
    }

    juce::Result composeCase (const juce::var& request, const juce::String& shim, juce::String& script)
    {
        if (! request.isObject())
            return juce::Result::fail ("each case must be an object");

        juce::StringArray outputs, inputs;
        std::optional<BootstrapScript::Instance> instance;
        std::optional<BootstrapScript::PageEventCheck> check;

        auto result = readNames (request["outputs"], "outputs", outputs);

        if (result.wasOk())
            result = readNames (request["inputs"], "inputs", inputs);

        if (const auto& given = request["instance"]; result.wasOk() && ! given.isVoid())
        {
            instance.emplace();
            result = readText (given, "id", instance->id);

            if (result.wasOk())
                result = readText (given, "state", instance->webState);
        }

        const auto* object = request.getDynamicObject();

        if (result.wasOk() && (object->hasProperty ("gameOrigin") || object->hasProperty ("eventKey")))
        {
            check.emplace();
            result = readText (request, "gameOrigin", check->gameOrigin);

            if (result.wasOk())
                result = readText (request, "eventKey", check->key);
        }

        if (result.wasOk())
            script = BootstrapScript::compose (outputs, inputs, shim, instance, check);

        return result;
    }
}

int main (int argc, char** argv)
{
    if (argc > 1 && std::string (argv[1]) == "--page-events")
    {
        juce::Array<juce::var> names;

        for (auto& name : PageEventKey::sealedEventNames())
            names.add (name);

        std::cout << juce::JSON::toString (names, true).toStdString() << std::endl;
        return std::cout.good() ? 0 : 1;
    }

    const std::string input { std::istreambuf_iterator<char> (std::cin), std::istreambuf_iterator<char>() };

    juce::var requests;
    const auto parsed = juce::JSON::parse (juce::String::fromUTF8 (input.data(), (int) input.size()), requests);

    if (parsed.failed() || ! requests.isArray())
    {
        std::cerr << "expected a JSON array of cases on stdin: " << parsed.getErrorMessage() << std::endl;
        return 1;
    }

    const juce::String shim (PageData::webmidishim_js, (size_t) PageData::webmidishim_jsSize);
    juce::Array<juce::var> scripts;

    for (int i = 0; i < requests.size(); ++i)
    {
        juce::String script;
        const auto result = composeCase (requests[i], shim, script);

        if (result.failed())
        {
            std::cerr << "case " << i << ": " << result.getErrorMessage() << std::endl;
            return 1;
        }

        scripts.add (script);
    }

    // Plain ASCII, with \u escapes for the rest, so no console encoding can
    // touch the names on the way out.
    const auto options = juce::JSON::FormatOptions{}.withSpacing (juce::JSON::Spacing::none)
                                                    .withEncoding (juce::JSON::Encoding::ascii);
    std::cout << juce::JSON::toString (scripts, options).toStdString() << std::endl;
    return std::cout.good() ? 0 : 1;
}

#include "OfflinePage.h"

#include <PageData.h>

namespace OfflinePage
{
    int retryDelaySeconds (int failuresInARow)
    {
        return failuresInARow <= 1 ? 2 : (failuresInARow >= 6 ? 60 : 1 << failuresInARow);
    }

    juce::String escapeHtml (const juce::String& text)
    {
        return text.replace ("&", "&amp;")
                   .replace ("<", "&lt;")
                   .replace (">", "&gt;")
                   .replace ("\"", "&quot;")
                   .replace ("'", "&#39;");
    }

    juce::String compose (const juce::String& templateHtml, const juce::String& address,
                          const juce::String& error, int retrySeconds)
    {
        // One pass per placeholder over the template only, so text that
        // looks like a placeholder inside a value stays as it is.
        juce::String page;
        auto rest = templateHtml;

        for (;;)
        {
            const auto start = rest.indexOf ("{{");
            const auto end = start >= 0 ? rest.indexOf (start, "}}") : -1;

            if (end < 0)
                return page + rest;

            const auto name = rest.substring (start + 2, end);
            page << rest.substring (0, start);

            if (name == "address")            page << escapeHtml (address);
            else if (name == "error")         page << escapeHtml (error);
            else if (name == "retrySeconds")  page << retrySeconds;
            else                              page << rest.substring (start, end + 2);

            rest = rest.substring (end + 2);
        }
    }

    juce::String toDataAddress (const juce::String& html)
    {
        return "data:text/html;charset=utf-8;base64,"
             + juce::Base64::toBase64 (html.toRawUTF8(), html.getNumBytesAsUTF8());
    }

    juce::String getTemplate()
    {
        return juce::String::fromUTF8 (PageData::offline_html, PageData::offline_htmlSize);
    }
}

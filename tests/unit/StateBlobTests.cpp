#include "support/ProcessorFixture.h"

#include <regex>

namespace
{
    const juce::String crlf ("\r\n");

    juce::String blobFor (const juce::String& id, const juce::String& quotedState, int w, int h)
    {
        return "{" + crlf
             + "  \"instanceId\": \"" + id + "\"," + crlf
             + "  \"state\": " + quotedState + "," + crlf
             + "  \"editorW\": " + juce::String (w) + "," + crlf
             + "  \"editorH\": " + juce::String (h) + crlf
             + "}";
    }
}

TEST (StateBlob, FreshInstanceWritesTheSixLineLayout)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);

    juce::MemoryBlock block;
    processor->getStateInformation (block);
    const std::string bytes (static_cast<const char*> (block.getData()), block.getSize());

    const std::regex layout ("\\{\r\n"
                             "  \"instanceId\": \"[0-9a-f]{32}\",\r\n"
                             "  \"state\": \"\",\r\n"
                             "  \"editorW\": 0,\r\n"
                             "  \"editorH\": 0\r\n"
                             "\\}");
    EXPECT_TRUE (std::regex_match (bytes, layout)) << bytes;
    EXPECT_EQ (bytes.find ('\0'), std::string::npos);

    // Version-4 marks of the random identifier: byte 6's high nibble is 4, byte 8's top bits are 10.
    const auto id = processor->getInstanceId();
    EXPECT_EQ (id[12], '4');
    EXPECT_TRUE (juce::String ("89ab").containsChar (id[16]));

    auto other = makeProcessor (devices);
    EXPECT_NE (other->getInstanceId(), id);
}

TEST (StateBlob, WriteThenReadReproducesEveryValue)
{
    VirtualMidiDevices devices;
    auto source = makeProcessor (devices);
    source->setWebState (R"({"channel":3,"name":"Zoë \"the bard\"\nline two"})");
    source->setEditorSize (1024, 700);

    auto target = makeProcessor (devices);
    setBlob (*target, blobText (*source));

    EXPECT_EQ (target->getInstanceId(), source->getInstanceId());
    EXPECT_EQ (target->getWebState(), source->getWebState());
    EXPECT_EQ (target->getEditorWidth(), 1024);
    EXPECT_EQ (target->getEditorHeight(), 700);
    EXPECT_EQ (blobText (*target), blobText (*source));
}

TEST (StateBlob, StringsAreEscapedAndNonAsciiStaysRawUtf8)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);
    setBlob (*processor, R"({"instanceId":"abc"})");

    const auto state = juce::String::fromUTF8 ("q\" b\\ bs\b tab\t lf\n ff\f cr\r bell\x07 esc\x1b \xc3\xa9\xe2\x99\xaa");
    processor->setWebState (state);

    const auto expected = blobFor ("abc",
                                   juce::String::fromUTF8 ("\"q\\\" b\\\\ bs\\b tab\\t lf\\n ff\\f cr\\r "
                                                           "bell\\u0007 esc\\u001b \xc3\xa9\xe2\x99\xaa\""),
                                   0, 0);
    EXPECT_EQ (blobText (*processor), expected);

    auto restored = makeProcessor (devices);
    setBlob (*restored, expected);
    EXPECT_EQ (restored->getWebState(), state);
}

TEST (StateBlob, ReadingNothingChangesNothingAndDoesNotReapplyRouting)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);
    processor->setWebState (pageState ("Lute", 5));      // no such device yet: nothing opens
    processor->setEditorSize (800, 600);
    const auto before = blobText (*processor);

    devices.plugOutput ("Lute", "lute-1");
    processor->setStateInformation (nullptr, 10);
    processor->setStateInformation ("{}", 0);
    processor->setStateInformation ("{}", -1);

    EXPECT_EQ (blobText (*processor), before);
    EXPECT_EQ (devices.getNumOpens ("lute-1"), 0);
}

TEST (StateBlob, ForeignBytesKeepEveryFieldButReapplyRouting)
{
    for (const auto* foreign : { "not json at all", "[1, 2, 3]", "\"a string\"", "42", "{\"instanceId\": ",
                                 "{\"editorW\": --5}", "{\"editorW\": -x}" })
    {
        VirtualMidiDevices devices;
        auto processor = makeProcessor (devices);
        processor->setWebState (pageState ("Lute", 5));
        processor->setEditorSize (800, 600);
        const auto before = blobText (*processor);

        devices.plugOutput ("Lute", "lute-1");
        setBlob (*processor, foreign);

        EXPECT_EQ (blobText (*processor), before) << foreign;
        EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 1) << foreign;    // routing ran again and found it
    }
}

TEST (StateBlob, PartialBlobReplacesOnlyWhatItHas)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);
    processor->setEditorSize (800, 600);
    const auto id = processor->getInstanceId();

    setBlob (*processor, R"({"state": "{\"channel\":2}", "somethingElse": true})");

    EXPECT_EQ (processor->getWebState(), R"({"channel":2})");
    EXPECT_EQ (processor->getInstanceId(), id);
    EXPECT_EQ (processor->getEditorWidth(), 800);
    EXPECT_EQ (processor->getEditorHeight(), 600);
}

TEST (StateBlob, ValuesKeepTheirMeaning)
{
    struct Case { const char* json; const char* text; int size; };

    // Texts ("instanceId", "state"): a string as it is, null as empty, anything
    // else as its JSON text. Sizes: saturated, then limited to 0 ... 16384.
    const Case cases[] = {
        { "2147483648",              "2147483648",              16384 },     // 2^31
        { "4294967297",              "4294967297",              16384 },     // 2^32 + 1
        { "4294967936",              "4294967936",              16384 },     // was 640
        { "9223372036854775807",     "9223372036854775807",     16384 },     // 2^63 - 1
        { "-9223372036854775808",    "-9223372036854775808",    0 },         // -2^63
        { "1e300",                   "1e300",                   16384 },
        { "-1e300",                  "-1e300",                  0 },
        { "-0.0",                    "-0.0",                    0 },
        { "\"12abc\"",           "12abc",                   12 },
        { "true",                    "true",                    1 },
        { "false",                   "false",                   0 },
        { "[]",                      "[]",                      0 },
        { "{}",                      "{}",                      0 },
        { "null",                    "",                        0 },
        { "12",                      "12",                      12 },
        { "640.9",                   "640.9",                   640 },
        { "-640",                    "-640",                    0 },
        { "\"640\"",           "640",                     640 },
        { "\" 77px\"",          " 77px",                   77 },
        { "16385",                   "16385",                   16384 },
        { "99999999999999999999",    "1e20",                    16384 },     // too long for 64 bits
        { "-99999999999999999999",   "-1e20",                   0 },
        { R"({"channel": 3, "ports": {"outputs": [{"portName": "Lute"}]}})",
          R"({"channel": 3, "ports": {"outputs": [{"portName": "Lute"}]}})", 0 },
        { R"([1, "two"])",           R"([1, "two"])",           0 },
    };

    for (auto& c : cases)
    {
        VirtualMidiDevices devices;
        auto processor = makeProcessor (devices);
        setBlob (*processor, juce::String ("{\"instanceId\": ") + c.json + ", \"state\": " + c.json
                                 + ", \"editorW\": " + c.json + ", \"editorH\": " + c.json + "}");

        // JUCE writes some numbers its own way (1e300 as 1.0e300); what matters
        // is that the text is JSON of the same value, not "Object 0x..." or a
        // wrapped integer. Strings are kept exactly.
        const auto text = processor->getWebState();
        const auto asJson = [] (const juce::String& t) { return juce::JSON::toString (juce::JSON::parse ("[" + t + "]"), true); };

        if (juce::String (c.json).startsWithChar ('"'))
            EXPECT_EQ (text, juce::String (c.text)) << c.json;
        else
            EXPECT_EQ (asJson (text), asJson (c.text)) << c.json << " gave " << text;
        EXPECT_EQ (processor->getInstanceId(), text) << c.json;
        EXPECT_EQ (processor->getEditorWidth(), c.size) << c.json;
        EXPECT_EQ (processor->getEditorHeight(), c.size) << c.json;
    }

    // Missing keys leave their fields as they were.
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);
    processor->setWebState ("kept");
    processor->setEditorSize (800, 600);
    const auto id = processor->getInstanceId();
    setBlob (*processor, "{}");
    EXPECT_EQ (processor->getWebState(), "kept");
    EXPECT_EQ (processor->getInstanceId(), id);
    EXPECT_EQ (processor->getEditorWidth(), 800);
    EXPECT_EQ (processor->getEditorHeight(), 600);
}

// A NUL in a page's text reaches the host escaped ("\u0000", as JSON.stringify
// writes it): a page event or a saved state holding one keeps everything else
// rather than being refused whole.
TEST (StateBlob, AnEscapedNulKeepsTheRestOfTheText)
{
    const auto event = juce::JSON::fromString (R"({"eventId":"lwStateChanged","payload":{"state":"a\u0000b\u0001c","more":1}})");
    EXPECT_EQ (event["payload"]["state"].toString(), juce::String ("a\\u0000b") + juce::String::charToString (1) + "c");
    EXPECT_EQ ((int) event["payload"]["more"], 1);

    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);
    const auto id = processor->getInstanceId();
    const juce::String blob (R"({"instanceId":")" + id + R"(","state":"notes\u0000end","editorW":700,"editorH":500})");
    processor->setStateInformation (blob.toRawUTF8(), (int) blob.getNumBytesAsUTF8());
    EXPECT_EQ (processor->getWebState(), "notes\\u0000end");
    EXPECT_EQ (processor->getEditorWidth(), 700);
}

TEST (StateBlob, AnObjectStateRoutesLikeTheSameStateAsText)
{
    VirtualMidiDevices devices;
    devices.plugOutput ("Lute", "lute-1");
    auto processor = makeProcessor (devices);

    setBlob (*processor, R"({"state": {"channel": 3, "ports": {"outputs": [{"portName": "Lute", "portIdx": 0}]}}})");
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 1);

    // And the next blob carries it as text, which reads back the same.
    auto again = makeProcessor (devices);
    setBlob (*again, blobText (*processor));
    EXPECT_EQ (again->getWebState(), processor->getWebState());
}

TEST (Processor, IdentityBusesAndPrograms)
{
    VirtualMidiDevices devices;
    auto processor = makeProcessor (devices);

    EXPECT_EQ (processor->getName(), "Lutewyrm RPG");
    EXPECT_TRUE (processor->acceptsMidi());
    EXPECT_TRUE (processor->producesMidi());
    EXPECT_FALSE (processor->isMidiEffect());
    EXPECT_TRUE (processor->hasEditor());
    EXPECT_EQ (processor->getTailLengthSeconds(), 0.0);
    EXPECT_EQ (processor->getNumPrograms(), 1);
    EXPECT_EQ (processor->getCurrentProgram(), 0);
    EXPECT_EQ (processor->getProgramName (0), "");
    EXPECT_EQ (processor->getProgramName (7), "");
    EXPECT_EQ (processor->getTotalNumInputChannels(), 0);
    EXPECT_EQ (processor->getTotalNumOutputChannels(), 2);
    EXPECT_EQ (processor->getBus (false, 0)->getName(), "Output");

    using Set = juce::AudioChannelSet;
    const auto layoutWith = [] (std::optional<Set> output)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (Set::quadraphonic());     // inputs are never examined
        if (output.has_value())
            layout.outputBuses.add (*output);
        return layout;
    };

    EXPECT_TRUE  (processor->isBusesLayoutSupported (layoutWith (Set::mono())));
    EXPECT_TRUE  (processor->isBusesLayoutSupported (layoutWith (Set::stereo())));
    EXPECT_FALSE (processor->isBusesLayoutSupported (layoutWith (Set::create5point1())));
    EXPECT_FALSE (processor->isBusesLayoutSupported (layoutWith (Set::disabled())));
    EXPECT_FALSE (processor->isBusesLayoutSupported (layoutWith (std::nullopt)));
}

TEST (StateBlob, DeeplyNestedTextIsRefusedNotACrash)
{
    // A crafted project file: hundreds of thousands of brackets.
    const auto deep = juce::String::repeatedString ("[", 300000) + juce::String::repeatedString ("]", 300000);
    const auto deepObject = juce::String::repeatedString ("{\"a\":", 300000) + "1" + juce::String::repeatedString ("}", 300000);

    VirtualMidiDevices devices;
    devices.plugOutput ("Lute", "lute-1");
    auto processor = makeProcessor (devices);
    processor->setWebState (pageState ("Lute", 5));
    const auto before = blobText (*processor);

    setBlob (*processor, deep);
    setBlob (*processor, "{\"state\": " + deep + "}");
    EXPECT_EQ (blobText (*processor), before);

    // As page state it is stored as it is, but routes nowhere.
    processor->setWebState (deepObject);
    EXPECT_EQ (devices.getNumOpenOutputs ("lute-1"), 0);

    // Nesting as deep as real documents go still works.
    const auto fine = juce::String::repeatedString ("[", 100) + juce::String::repeatedString ("]", 100);
    setBlob (*processor, "{\"state\": " + juce::JSON::toString (juce::var (fine)) + ", \"editorW\": 7, \"x\": " + fine + "}");
    EXPECT_EQ (processor->getEditorWidth(), 7);
}

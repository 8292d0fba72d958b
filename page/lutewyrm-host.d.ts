// What the Lutewyrm host gives a game page, for type-checking a page's own
// scripts (see page/README.md). The Web MIDI types come from TypeScript's own
// "dom" library: the host's navigator.requestMIDIAccess returns a MIDIAccess.

/** One port as the host lists it: its position, and the device's name. */
interface LutewyrmPortEntry {
    id: number;
    name: string;
}

/** What the host reads from the page's settings to route the DAW track. */
interface LutewyrmRoutingState {
    /** 1 to 16 forces that channel; 0 (or absent) keeps the track's. */
    channel?: number;
    ports?: {
        /** The entry with portIdx 0 (else the first named one) is the output, by name. */
        outputs?: { portName: string; portIdx: number }[];
    };
    /** Everything else is the page's own. */
    [key: string]: unknown;
}

interface LutewyrmBackend {
    /** `time`: when to send, in ms of the host's clock (the shim's business). */
    emitEvent (name: "midiSend", payload: { port: number; data: number[]; time?: number }): void;
    emitEvent (name: "midiClear", payload: { port: number }): void;
    emitEvent (name: "midiOpenInput", payload: { port: number }): void;
    emitEvent (name: "fileDownload", payload: { filename: string; content: string }): void;
    /** `state` is the text of one JSON object, e.g. JSON.stringify of a LutewyrmRoutingState.
        (The host also keeps an object given here, as its JSON text; send the text.) */
    emitEvent (name: "lwStateChanged", payload: { state: string }): void;

    /** `time`: when it was played, in ms of the host's clock. */
    addEventListener (name: "midiReceive", listener: (payload: { port: number; data: number[]; time: number }) => void): unknown;
    addEventListener (name: "midiPortsChanged",
                      listener: (payload: { outputs: LutewyrmPortEntry[]; inputs: LutewyrmPortEntry[] }) => void): unknown;
}

interface Window {
    /** The host's bridge; absent outside the host. */
    __JUCE__?: { backend: LutewyrmBackend };
}

// Declared only by the host, in the game's top-level document: test each with
// typeof before use.
/** Output ports as the editor was built. */
declare var _juceMidiPorts: LutewyrmPortEntry[];
/** Input ports as the editor was built; in a plug-in only "DAW (host track)". */
declare var _juceMidiInputPorts: LutewyrmPortEntry[];
/** Plug-in only: the instance id. */
declare var _lwInstanceId: string;
/** Plug-in only: the settings last reported, parsed; null when empty or not JSON. */
declare var _lwInstanceState: unknown;

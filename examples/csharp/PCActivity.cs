// PCActivity.cs - kvpcact.dll from C#: switches the activity hooks on, prints
// the idle time for a while, and switches them off.
//
// A process loads only a DLL of its own bitness. Build the program for the
// platform of the kvpcact.dll placed beside it: <PlatformTarget>x86</PlatformTarget>
// with x86\bin\kvpcact.dll, or <PlatformTarget>x64</PlatformTarget> with
// x64\bin\kvpcact.dll. An AnyCPU program runs as 64-bit on 64-bit Windows
// and cannot load the x86 DLL.
using System;
using System.IO.MemoryMappedFiles;
using System.Runtime.InteropServices;

public static class PCActivity
{
    public const string SectionName = "PCActivityHookInfo:{6258F7FB-6ED8-4AF6-B6A5-CE3C359F4257}";
    public const int RecordSize = 20;
    public const int LastActivityTimeOffset = 16;

    // Returns 0xFFFFFFFF for true, 0 for false: test the result against 0.
    // StdCall is the x86 convention; x64 has only one and ignores it.
    [DllImport("kvpcact.dll", EntryPoint = "SetPCActivityHook",
               CallingConvention = CallingConvention.StdCall)]
    public static extern uint SetPCActivityHook(uint activate);

    // Milliseconds since the latest activity; the unsigned difference stays
    // right across the wrap of the tick count, and a stamp taken just after
    // the tick count was read counts as no idle time.
    public static uint IdleMilliseconds(MemoryMappedViewAccessor record)
    {
        uint last = record.ReadUInt32(LastActivityTimeOffset);
        uint idle = unchecked((uint)Environment.TickCount - last);
        return idle > 0x7FFFFFFFu ? 0u : idle;
    }

    // The thread that switched the hooks on must keep handling its messages:
    // Windows runs the hooks for programs of the other bitness on it, and
    // their input waits until it does. A WinForms or WPF UI thread does so
    // already; a console program, as here, waits like this instead of Sleep.
    public static void PumpMessagesFor(int milliseconds)
    {
        int end = Environment.TickCount + milliseconds;
        for (int left = milliseconds; left > 0; left = end - Environment.TickCount) {
            MsgWaitForMultipleObjects(0, null, false, (uint)left, QS_ALLINPUT);
            Msg msg;
            while (PeekMessage(out msg, IntPtr.Zero, 0, 0, PM_REMOVE)) {
                TranslateMessage(ref msg);
                DispatchMessage(ref msg);
            }
        }
    }

    public static int Main()
    {
        uint on;
        try {
            on = SetPCActivityHook(1);
        } catch (BadImageFormatException) {
            Console.Error.WriteLine("kvpcact.dll is not built for a {0}-bit process",
                                    IntPtr.Size * 8);
            return 1;
        }
        try {
            if (on == 0) {
                Console.Error.WriteLine("the activity hooks could not be switched on");
                return 1;
            }
            using (var section = MemoryMappedFile.OpenExisting(SectionName,
                                                               MemoryMappedFileRights.Read))
            using (var record = section.CreateViewAccessor(0, RecordSize,
                                                           MemoryMappedFileAccess.Read)) {
                for (int i = 0; i < 10; i++) {
                    Console.WriteLine("idle_ms={0}", IdleMilliseconds(record));
                    PumpMessagesFor(1000);
                }
            }
        } finally {
            // A hook that did get installed must not stay behind.
            SetPCActivityHook(0);
        }
        return 0;
    }

    [StructLayout(LayoutKind.Sequential)]
    struct Msg
    {
        public IntPtr Window;
        public uint Message;
        public IntPtr WParam;
        public IntPtr LParam;
        public uint Time;
        public int X, Y;
    }

    const uint QS_ALLINPUT = 0x04FF;
    const uint PM_REMOVE = 1;

    [DllImport("user32.dll")]
    static extern uint MsgWaitForMultipleObjects(uint count, IntPtr[] handles, bool waitAll,
                                                 uint milliseconds, uint wakeMask);
    [DllImport("user32.dll")]
    static extern bool PeekMessage(out Msg msg, IntPtr window, uint first, uint last,
                                   uint remove);
    [DllImport("user32.dll")]
    static extern bool TranslateMessage(ref Msg msg);
    [DllImport("user32.dll")]
    static extern IntPtr DispatchMessage(ref Msg msg);
}

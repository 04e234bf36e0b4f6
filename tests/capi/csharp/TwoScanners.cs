// Two scanners from C# through P/Invoke: one session handled by callbacks, the other by the
// pull functions only; records, link events (a loss the simulators are told to cause) and close.
// Arguments: the control inputs of the two simulators (127.0.0.2 WCDMA, 127.0.0.3 TD).
// Exit status 0 when everything arrived; 1 with a line saying what did not.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

static class Native {
  const string Lib = "scanlink";

  [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
  public struct Options {
    [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 32)] public string address;
    public int data_port, alarm_port, link_timeout_ms, reply_timeout_ms;
  }

  // The start of scanlink_record; the body follows.
  [StructLayout(LayoutKind.Sequential)]
  public struct RecordHeader {
    public ushort code, trans_id, length;
  }

  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  public delegate void RecordHandler(IntPtr context, IntPtr record);
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  public delegate void LinkHandler(IntPtr context, int linkEvent);

  [StructLayout(LayoutKind.Sequential)]
  public struct Handlers {
    public RecordHandler on_record;
    public LinkHandler on_link;
    public IntPtr on_alarm;
    public IntPtr context;
  }

  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern void scanlink_options_init(ref Options options);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern IntPtr scanlink_open(ref Options options);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_set_handlers(IntPtr session, ref Handlers handlers);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_connect(IntPtr session);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_login(IntPtr session, string user, string password);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_start_scan(IntPtr session);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_close(IntPtr session);
  [StructLayout(LayoutKind.Sequential)]
  public struct State {
    public int first_connected, link_up, link_down, scanner_type, family, finger_test;
  }
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_read_state(IntPtr session, out State state);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_set_queue(IntPtr session, int capacity);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_next_record(IntPtr session, IntPtr record, int timeoutMs);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_next_record_json(IntPtr session, byte[] buffer, UIntPtr size,
                                                     int timeoutMs);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  public static extern int scanlink_next_link_event(IntPtr session, int timeoutMs);
}

static class Program {
  const int Lost = 1, Restored = 2;
  // Larger than any record: the body's largest layout is under 10 KB.
  const int RecordBytes = 16384;

  static int reports, lost, restored;
  // Kept alive for as long as the library may call them.
  static readonly Native.RecordHandler OnRecord = (context, record) => {
    var header = (Native.RecordHeader)Marshal.PtrToStructure(record, typeof(Native.RecordHeader));
    if (header.trans_id == 0xFFFF && header.code < 0xF000) Interlocked.Increment(ref reports);
  };
  static readonly Native.LinkHandler OnLink = (context, linkEvent) => {
    if (linkEvent == Lost) Interlocked.Increment(ref lost);
    if (linkEvent == Restored) Interlocked.Increment(ref restored);
  };

  static IntPtr Open(string address, int alarmPort) {
    var options = new Native.Options();
    Native.scanlink_options_init(ref options);
    options.address = address;
    options.data_port = 5000;
    options.alarm_port = alarmPort;
    IntPtr s = Native.scanlink_open(ref options);
    if (s == IntPtr.Zero) throw new Exception("scanlink_open refused " + address);
    return s;
  }

  static void Check(bool ok, string what) {
    if (!ok) throw new Exception(what);
  }

  static bool WaitFor(Func<bool> done, int seconds) {
    for (var until = DateTime.UtcNow.AddSeconds(seconds); DateTime.UtcNow < until;) {
      if (done()) return true;
      Thread.Sleep(20);
    }
    return done();
  }

  static int Main(string[] args) {
    IntPtr w = IntPtr.Zero, t = IntPtr.Zero;
    IntPtr record = Marshal.AllocHGlobal(RecordBytes);
    try {
      w = Open("127.0.0.2", 8051);
      var handlers = new Native.Handlers { on_record = OnRecord, on_link = OnLink };
      Check(Native.scanlink_set_handlers(w, ref handlers) == 0, "set_handlers");
      t = Open("127.0.0.3", 8052);
      Check(Native.scanlink_set_queue(t, 1000) == 0, "set_queue");
      foreach (IntPtr s in new[] { w, t }) {
        Check(Native.scanlink_connect(s) == 0, "connect");
        Check(Native.scanlink_login(s, "admin", "admin") > 0, "login");
      }
      // Each session's family comes with its login reply: scans start once it is known.
      IntPtr[] sessions = { w, t };
      for (int i = 0; i < 2; ++i) {
        IntPtr s = sessions[i];
        int family = i + 1;
        Check(WaitFor(() => {
          Native.State state;
          return Native.scanlink_read_state(s, out state) == 0 && state.scanner_type != 0 &&
                 state.family == family;
        }, 5), "family");
        Check(Native.scanlink_start_scan(s) > 0, "start_scan");
      }

      Check(WaitFor(() => Volatile.Read(ref reports) >= 20, 10), "20 reports by callback");
      int pulled = 0;
      while (pulled < 20 && Native.scanlink_next_record(t, record, 5000) == 1) {
        var h = (Native.RecordHeader)Marshal.PtrToStructure(record, typeof(Native.RecordHeader));
        Check(h.trans_id != 0xFFFF || h.code >= 0xF000, "a WCDMA report in the TD session: " + h.code);
        if (h.trans_id == 0xFFFF) ++pulled;
      }
      Check(pulled == 20, "20 reports pulled");
      int need = Native.scanlink_next_record_json(t, null, UIntPtr.Zero, 5000);
      Check(need > 0, "a record as JSON");
      var text = new byte[need + 1];
      Check(Native.scanlink_next_record_json(t, text, (UIntPtr)text.Length, 0) == need,
            "the record kept for a larger buffer");
      Check(Encoding.UTF8.GetString(text, 0, need).Contains("\"name\""), "JSON with names");

      var reset = Encoding.ASCII.GetBytes("reset-data\n");
      foreach (string control in args) {
        using (var input = new FileStream(control, FileMode.Open, FileAccess.Write)) {
          input.Write(reset, 0, reset.Length);
        }
      }
      Check(WaitFor(() => Volatile.Read(ref restored) >= 1, 20), "lost and restored by callback");
      Check(Volatile.Read(ref lost) >= 1, "lost by callback");
      bool sawLost = false, sawRestored = false;
      for (var until = DateTime.UtcNow.AddSeconds(20); !sawRestored && DateTime.UtcNow < until;) {
        int e = Native.scanlink_next_link_event(t, 1000);
        sawLost |= e == Lost;
        sawRestored |= sawLost && e == Restored;
      }
      Check(sawRestored, "lost and restored pulled");

      int closedW = Native.scanlink_close(w), closedT = Native.scanlink_close(t);
      w = t = IntPtr.Zero;
      Check(closedW == 0 && closedT == 0, "close");
      Console.WriteLine("two scanners from C#: callbacks and pull, records and link events");
      return 0;
    } catch (Exception e) {
      Console.WriteLine("failed: " + e.Message);
      if (w != IntPtr.Zero) Native.scanlink_close(w);
      if (t != IntPtr.Zero) Native.scanlink_close(t);
      return 1;
    } finally {
      Marshal.FreeHGlobal(record);
    }
  }
}

package win;

// Makes a known number of calls, then dies without an orderly shutdown:
// "fault" writes to address 0 in native code (the library named by the third
// argument), "wait" says how many calls it made and its process id, and
// waits to be ended from outside.
public class Dying {
    private int count;

    void touch() {
        count++;
    }

    private static native void fault();

    public static void main(String[] args) throws Exception {
        int calls = Integer.parseInt(args[1]);
        for (int i = 0; i < calls; i++) {
            new Dying().touch();
        }
        if (args[0].equals("fault")) {
            System.load(args[2]);
            fault();
        }
        System.out.println("made " + calls + " calls in process " + ProcessHandle.current().pid());
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }
}

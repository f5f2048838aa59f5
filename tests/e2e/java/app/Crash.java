package app;

import java.lang.reflect.Field;

// Makes a known number of calls, then dies without an orderly shutdown:
// "segv" writes to address 0, "wait" says how many calls it made and waits
// to be killed.
public class Crash {
    private int count;

    void touch() {
        count++;
    }

    public static void main(String[] args) throws Exception {
        int calls = Integer.parseInt(args[1]);
        for (int i = 0; i < calls; i++) {
            new Crash().touch();
        }
        if (args[0].equals("segv")) {
            Field field = sun.misc.Unsafe.class.getDeclaredField("theUnsafe");
            field.setAccessible(true);
            sun.misc.Unsafe unsafe = (sun.misc.Unsafe) field.get(null);
            unsafe.putAddress(0L, 0L);
        }
        System.out.println("made " + calls + " calls");
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }
}

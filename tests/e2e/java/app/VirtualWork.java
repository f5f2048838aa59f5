package app;

import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.locks.LockSupport;

// Virtual threads that park in the middle of their calls, so that they move
// between carrier threads. Started through reflection: the program builds
// with JDK 17, and says so with exit status 3 where there are none.
public class VirtualWork {
    public static void main(String[] args) throws Exception {
        int threads = Integer.parseInt(args[0]);
        Method ofVirtual;
        try {
            ofVirtual = Thread.class.getMethod("ofVirtual");
        } catch (NoSuchMethodException none) {
            System.exit(3);
            return;
        }
        Object builder = ofVirtual.invoke(null);
        Method start = Class.forName("java.lang.Thread$Builder").getMethod("start", Runnable.class);
        List<Thread> started = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            started.add((Thread) start.invoke(builder, (Runnable) () -> {
                Tally own = new Tally();
                Pause pause = new Pause();
                for (int i = 0; i < 200; i++) {
                    own.add(i);
                    pause.now(i);
                    own.addTwice(i);
                }
                own.total();
            }));
        }
        for (Thread thread : started) thread.join();
        System.out.println("virtual threads done");
    }

    // Parks inside its own call now and then: the thread may come back on
    // another carrier before the call returns.
    static final class Pause {
        void now(int i) {
            if (i % 40 == 0) LockSupport.parkNanos(1000);
        }
    }
}

package bench;

// Tight loops of calls, for timing the cost of method events:
//   Calls <calls> [instance|static|mixed|ctor] [threads]
// instance: one instance method (its receiver is asked for at every event);
// static: one static method; mixed (the default): one of each per round;
// ctor: `new Leaf(i)`, whose constructor calls its superclass's.
// With several threads, each runs the whole loop at the same time as the
// others, on a receiver of its own.
public class Calls {
    private int value;

    int bump(int by) {
        value += by;
        return value;
    }

    static int twice(int x) {
        return 2 * x;
    }

    static class Base {
        final int v;

        Base(int v) { this.v = v; }
    }

    static final class Leaf extends Base {
        Leaf(int v) { super(v + 1); }
    }

    // A named class rather than a lambda: bootstrapping a lambda would add
    // thousands of JDK events to every run under an agent.
    static final class Loop extends Thread {
        private final int calls;
        private final String mode;
        long sum;

        Loop(int calls, String mode) {
            this.calls = calls;
            this.mode = mode;
        }

        @Override
        public void run() {
            Calls target = new Calls();
            long s = 0;
            switch (mode) {
                case "instance":
                    for (int i = 0; i < calls; i++) s += target.bump(i & 1);
                    break;
                case "static":
                    for (int i = 0; i < calls; i++) s += twice(i);
                    break;
                case "mixed":
                    for (int i = 0; i < calls; i++) s += target.bump(twice(i) & 1);
                    break;
                case "ctor":
                    for (int i = 0; i < calls; i++) s += new Leaf(i).v;
                    break;
                default:
                    throw new IllegalArgumentException("unknown mode " + mode);
            }
            sum = s;
        }
    }

    public static void main(String[] args) throws InterruptedException {
        int calls = Integer.parseInt(args[0]);
        String mode = args.length > 1 ? args[1] : "mixed";
        int threads = args.length > 2 ? Integer.parseInt(args[2]) : 1;
        Loop[] loops = new Loop[threads];
        for (int t = 0; t < threads; t++) {
            loops[t] = new Loop(calls, mode);
            loops[t].start();
        }
        long total = 0;
        for (Loop loop : loops) {
            loop.join();
            total += loop.sum;
        }
        System.out.println("sum " + total);
    }
}

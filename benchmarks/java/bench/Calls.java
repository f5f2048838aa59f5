package bench;

// A fixed number of instance and static calls, for timing the agent's cost
// per method event.
public class Calls {
    private int value;

    int bump(int by) {
        value += by;
        return value;
    }

    static int twice(int x) {
        return 2 * x;
    }

    public static void main(String[] args) {
        int calls = Integer.parseInt(args[0]);
        Calls target = new Calls();
        int sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += target.bump(twice(i) & 1);
        }
        System.out.println("sum " + sum);
    }
}
